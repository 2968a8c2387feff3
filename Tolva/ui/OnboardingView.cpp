// Onboarding pages, the step rules and the window around them.
#include "ui/OnboardingView.h"

#include "TolvaCore/L10n.h"
#include "log/Log.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QTextDocumentFragment>
#include <QVBoxLayout>

namespace tolva {

namespace {
QLabel* paragraph(const std::string& text, QWidget* parent) {
    auto* label = new QLabel(QString::fromStdString(text), parent);
    label->setWordWrap(true);
    return label;
}

// A paragraph that leads to a settings tab when clicked.
QString linkTo(SettingsTab tab, const std::string& text) {
    return QStringLiteral("<a href=\"%1\">%2</a>")
        .arg(QString::fromUtf8(rawValue(tab).data(), int(rawValue(tab).size())),
             QString::fromStdString(text).toHtmlEscaped());
}
} // namespace

OnboardingView::OnboardingView(std::shared_ptr<Preferences> prefs, LockController& controller,
                               std::shared_ptr<Authenticator> auth, QWidget* parent)
    : QWidget(parent), prefs_(std::move(prefs)), controller_(controller), auth_(std::move(auth)) {
    auto* layout = new QVBoxLayout(this);
    noTrayNote_ = paragraph("", this);
    noTrayNote_->setObjectName(QStringLiteral("noTrayNote"));
    noTrayNote_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    noTrayNote_->hide();
    layout->addWidget(noTrayNote_);
    indicator_ = new QLabel(this);
    layout->addWidget(indicator_);
    pages_ = new QStackedWidget(this);
    layout->addWidget(pages_, 1);

    pages_->addWidget(page(L10n::Onboarding::Welcome::title(),
                           {L10n::Onboarding::Welcome::body1(), L10n::Onboarding::Welcome::body2(),
                            L10n::Onboarding::Welcome::body3()}));
    static_cast<QVBoxLayout*>(pages_->widget(0)->layout())->addStretch();

    QWidget* access =
        page(L10n::Onboarding::Accessibility::title(), {L10n::Onboarding::Accessibility::body()});
    // What is true on this session: on X11 a tick; elsewhere the page above explains, and a hint
    // says that the page follows a change by itself. Nothing here could be granted by a button.
    accessibilityState_ = new QLabel(access);
    access->layout()->addWidget(accessibilityState_);
    coverBlocked_ = paragraph("", access);
    coverBlocked_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    coverBlocked_->hide();
    access->layout()->addWidget(coverBlocked_);
    accessibilityHint_ = paragraph(L10n::Onboarding::Accessibility::autoRefreshHint(), access);
    access->layout()->addWidget(accessibilityHint_);
    static_cast<QVBoxLayout*>(access->layout())->addStretch();
    pages_->addWidget(access);

    QWidget* pin = page(L10n::Onboarding::Pin::title(), {L10n::Onboarding::Pin::body()});
    pinExisting_ = paragraph("", pin);
    pinExisting_->setTextFormat(Qt::RichText);
    pin->layout()->addWidget(pinExisting_);
    pinEditor_ = new PinEditor(false, pin);
    pinEditor_->setFixedWidth(280);
    pin->layout()->addWidget(pinEditor_);
    pinFailure_ = paragraph("", pin);
    pinFailure_->setStyleSheet(QStringLiteral("color: #d70015;"));
    // The error line keeps its room while empty, so nothing moves when it appears.
    QSizePolicy keepRoom = pinFailure_->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    pinFailure_->setSizePolicy(keepRoom);
    pinFailure_->hide();
    pin->layout()->addWidget(pinFailure_);
    static_cast<QVBoxLayout*>(pin->layout())->addStretch();
    for (QLineEdit* field : {pinEditor_->newField(), pinEditor_->confirmField()})
        connect(field, &QLineEdit::textChanged, this, [this] { refresh(); });
    // Return in the first field moves on to the second; in the second it submits.
    connect(pinEditor_->newField(), &QLineEdit::returnPressed, this, [this] {
        if (pinEditor_->confirm().isEmpty())
            pinEditor_->confirmField()->setFocus();
        else
            next();
    });
    connect(pinEditor_->confirmField(), &QLineEdit::returnPressed, this, [this] { next(); });
    pages_->addWidget(pin);

    QWidget* done = page(L10n::Onboarding::Done::title(), {L10n::Onboarding::Done::body()});
    for (int i = 0; i < 3; ++i) {
        done_.push_back(paragraph("", done));
        done->layout()->addWidget(done_.back());
    }
    connect(pinExisting_, &QLabel::linkActivated, this, [this](const QString& link) {
        if (auto tab = settingsTabFromRawValue(link.toStdString()); tab && onOpenSettings)
            onOpenSettings(*tab);
    });
    // The looks, and what each one hides: the default is preselected, and a choice here is the
    // same preference the settings edit.
    auto* looksHeading = new QLabel(QString::fromStdString(L10n::Onboarding::Done::looksTitle()), done);
    QFont bold = looksHeading->font();
    bold.setBold(true);
    looksHeading->setFont(bold);
    static_cast<QVBoxLayout*>(done->layout())->addSpacing(8);
    done->layout()->addWidget(looksHeading);
    looks_ = new QComboBox(done);
    for (auto mode : {OverlayContentMode::liveTint, OverlayContentMode::solidColor,
                      OverlayContentMode::snapshot, OverlayContentMode::image})
        looks_->addItem(QString::fromStdString(OverlayContentMode(mode).title()), int(mode));
    looks_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    connect(looks_, &QComboBox::activated, this, [this](int index) {
        prefs_->setOverlayContentMode(
            OverlayContentMode(static_cast<OverlayContentMode::Value>(looks_->itemData(index).toInt())));
        refresh();
    });
    static_cast<QVBoxLayout*>(done->layout())->addWidget(looks_, 0, Qt::AlignLeft);
    looksDetail_ = paragraph("", done);
    done->layout()->addWidget(looksDetail_);
    static_cast<QVBoxLayout*>(done->layout())->addStretch();
    pages_->addWidget(done);
    for (QLineEdit* field : {pinEditor_->newField(), pinEditor_->confirmField()})
        connect(field, &QLineEdit::textEdited, this, [this] { pinFailure_->hide(); });

    auto* buttons = new QHBoxLayout;
    back_ = new QPushButton(QString::fromStdString(L10n::Onboarding::backButton()), this);
    next_ = new QPushButton(this);
    next_->setDefault(true);
    buttons->addWidget(back_);
    buttons->addStretch();
    buttons->addWidget(next_);
    layout->addLayout(buttons);
    connect(back_, &QPushButton::clicked, this, [this] { back(); });
    connect(next_, &QPushButton::clicked, this, [this] { next(); });
    showStep();
}

QWidget* OnboardingView::page(const std::string& title, const std::vector<std::string>& paragraphs) {
    auto* widget = new QWidget(this);
    auto* layout = new QVBoxLayout(widget);
    auto* heading = new QLabel(QString::fromStdString(title), widget);
    QFont font = heading->font();
    font.setPointSizeF(font.pointSizeF() * 1.5);
    font.setBold(true);
    heading->setFont(font);
    layout->addWidget(heading);
    for (const auto& text : paragraphs)
        layout->addWidget(paragraph(text, widget));
    return widget;
}

bool OnboardingView::canAdvance() const {
    switch (step_) {
    case 1:
        return controller_.accessibilityGranted();
    case 2:
        return auth_->isPINConfigured() ||
               (!pinEditor_->newPin().isEmpty() && !pinEditor_->confirm().isEmpty());
    default:
        return true;
    }
}

void OnboardingView::next() {
    if (!canAdvance())
        return;
    if (step_ == 2 && !auth_->isPINConfigured()) {
        auto fail = [this](const std::string& text) {
            pinFailure_->setText(QString::fromStdString(text));
            pinFailure_->show();
        };
        if (pinEditor_->newPin() != pinEditor_->confirm()) {
            fail(Authenticator::ChangeError::mismatch().localizedDescription());
            return;
        }
        try {
            auth_->setPIN(pinEditor_->newPin().toStdString(), std::nullopt);
        } catch (const Authenticator::ChangeError& error) {
            fail(error.localizedDescription());
            return;
        }
        pinFailure_->hide();
        controller_.refreshCapabilities();
    }
    if (step_ == stepCount - 1) {
        prefs_->setHasCompletedOnboarding(true);
        controller_.refreshCapabilities();
        if (onFinish)
            onFinish();
        return;
    }
    ++step_;
    showStep();
}

void OnboardingView::back() {
    if (step_ == 0)
        return;
    --step_;
    showStep();
}

void OnboardingView::showStep() {
    pages_->setCurrentIndex(step_);
    refresh();
}

void OnboardingView::refresh() {
    static const std::function<std::string()> stepTitles[] = {
        [] { return L10n::Onboarding::Step::Welcome::title(); },
        [] { return L10n::Onboarding::Step::Accessibility::title(); },
        [] { return L10n::Onboarding::Step::Pin::title(); },
        [] { return L10n::Onboarding::Step::Done::title(); }};
    indicator_->setText(
        QString::fromStdString(L10n::Onboarding::stepIndicator(step_ + 1, stepCount, stepTitles[step_]())));
    const bool blockingAvailable = controller_.accessibilityGranted();
    accessibilityState_->setText(QString::fromStdString(blockingAvailable
                                                            ? "✓ " + L10n::Settings::Permissions::granted()
                                                            : L10n::Settings::Permissions::denied()));
    accessibilityHint_->setVisible(!blockingAvailable);
    const auto coverBlocked = controller_.coverBlockedReason();
    coverBlocked_->setText(QString::fromStdString(coverBlocked.value_or("")));
    coverBlocked_->setVisible(coverBlocked.has_value());
    if (auto& record = auth_->record()) {
        pinExisting_->setText(linkTo(SettingsTab::security, L10n::Onboarding::Pin::existing(record->length)));
        pinExisting_->show();
        pinEditor_->hide();
    } else {
        pinExisting_->hide();
        pinEditor_->show();
    }
    const auto idle = prefs_->idleTimeoutSeconds();
    done_[0]->setText(
        QString::fromStdString(idle < 1 ? L10n::Onboarding::Done::idleOff()
                                        : L10n::Onboarding::Done::idleOn(Preferences::durationTitle(idle))));
    const OverlayContentMode look = prefs_->overlayContentMode();
    looks_->setCurrentIndex(std::max(0, looks_->findData(int(look))));
    looksDetail_->setText(QString::fromStdString(look.detail()));
    done_[1]->setText(QString::fromStdString(L10n::Onboarding::Done::panelHint()));
    done_[2]->setText(QString::fromStdString(L10n::Onboarding::Done::manualLock(L10n::Menu::lockNow())));
    if (noTrayShortcut_)
        noTrayNote_->setText(QString::fromStdString(
            noTrayShortcut_->isEmpty()
                ? L10n::Onboarding::NoTray::withoutShortcut()
                : L10n::Onboarding::NoTray::withShortcut(noTrayShortcut_->toStdString())));
    back_->setVisible(step_ > 0);
    next_->setText(QString::fromStdString(step_ == stepCount - 1 ? L10n::Onboarding::finishButton()
                                                                 : L10n::Onboarding::nextButton()));
    next_->setEnabled(canAdvance());
}

void OnboardingView::showLongestLookDetail() {
    QString longest;
    for (auto mode : {OverlayContentMode::liveTint, OverlayContentMode::solidColor,
                      OverlayContentMode::snapshot, OverlayContentMode::image}) {
        const QString detail = QString::fromStdString(OverlayContentMode(mode).detail());
        if (detail.size() > longest.size())
            longest = detail;
    }
    looksDetail_->setText(longest);
}

void OnboardingView::showNoTrayNote(const QString& shortcut) {
    noTrayShortcut_ = shortcut;
    noTrayNote_->show();
    refresh();
}

std::vector<QString> OnboardingView::doneLines() const {
    std::vector<QString> lines;
    for (auto* label : done_)
        lines.push_back(QTextDocumentFragment::fromHtml(label->text()).toPlainText());
    return lines;
}

void OnboardingWindowController::show(std::shared_ptr<Preferences> prefs, LockController& controller,
                                      std::shared_ptr<Authenticator> auth) {
    if (!window_) {
        window_ = std::make_unique<AppPanel>();
        window_->setObjectName(QStringLiteral("onboarding"));
        window_->setWindowTitle(QStringLiteral("Tolva Screen"));
        auto* layout = new QVBoxLayout(window_.get());
        view_ = new OnboardingView(std::move(prefs), controller, std::move(auth), window_.get());
        layout->addWidget(view_);
        // A calm, fixed size: as tall as the longest page needs (no half-empty window), the
        // pages never move the window, and it is not maximised.
        // Measured with each page as it will show (one of the PIN's two forms, not both) and with
        // the longest of the looks' explanations, which the last page may show.
        view_->refresh();
        view_->showLongestLookDetail();
        window_->ensurePolished();
        window_->setFixedSize(windowWidth,
                              std::max(minimumWindowHeight, layout->totalHeightForWidth(windowWidth)));
        view_->refresh();
        window_->setWindowFlag(Qt::WindowMaximizeButtonHint, false);
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            window_->move(screen->availableGeometry().center() - window_->rect().center());
        view_->onFinish = [this] { close(); };
        view_->onOpenSettings = [this](SettingsTab tab) {
            if (onOpenSettings)
                onOpenSettings(tab);
        };
    }
    window_->present();
    // While it is open: re-check the permission every second, so step 1 moves on by itself.
    LockController* owner = &controller;
    polling_ = scheduler_.every(
        Seconds(1),
        [this, owner] {
            if (!window_ || !window_->isVisible()) {
                polling_.cancel();
                return;
            }
            owner->refreshCapabilities();
            view_->refresh();
        },
        true);
}

void OnboardingWindowController::showWithoutTray(const QString& shortcut) {
    if (view_)
        view_->showNoTrayNote(shortcut);
}

void OnboardingWindowController::close() {
    polling_.cancel();
    if (window_ && window_->isVisible())
        window_->close();
}

} // namespace tolva
