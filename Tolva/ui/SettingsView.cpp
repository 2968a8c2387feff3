// The five tabs, their rows and the rules of which rows show.
#include "ui/SettingsView.h"

#include "TolvaCore/L10n.h"
#include "TolvaCore/Localization.h"
#include "app/LaunchAtLogin.h"
#include "log/Log.h"
#include "overlay/ImageStore.h"
#include "ui/StatusIcon.h"
#include "unlock/PinSetupSheet.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QImageReader>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QStandardPaths>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#ifndef TOLVA_VERSION
#define TOLVA_VERSION "dev"
#endif
#ifndef TOLVA_BUILD
#define TOLVA_BUILD "0"
#endif

namespace tolva {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* wrapped(const QString& text, QWidget* parent, bool secondary = false) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    if (secondary) {
        QFont font = label->font();
        font.setPointSizeF(font.pointSizeF() * 0.9);
        label->setFont(font);
        label->setForegroundRole(QPalette::PlaceholderText);
    }
    return label;
}

// A group: a heading and a rounded box of rows.
struct Group {
    QWidget* box;
    QVBoxLayout* rows;
};

Group addGroup(QVBoxLayout* page, const std::string& title) {
    auto* heading = new QLabel(qs(title));
    QFont font = heading->font();
    font.setBold(true);
    heading->setFont(font);
    heading->setContentsMargins(4, 0, 0, 0);
    page->addWidget(heading);
    auto* box = new QFrame;
    box->setObjectName(QStringLiteral("settingsGroup"));
    box->setStyleSheet(QStringLiteral("QFrame#settingsGroup { background: palette(base); border: 1px solid "
                                      "palette(midlight); border-radius: 8px; }"));
    auto* rows = new QVBoxLayout(box);
    rows->setContentsMargins(14, 8, 14, 8);
    rows->setSpacing(0);
    page->addWidget(box);
    page->addSpacing(14);
    return {box, rows};
}

// A row: title (and detail) on the left, the control on the right.
QWidget* addRow(Group& group, const std::string& title, const std::string& detail, QWidget* control,
                QLabel** titleLabel = nullptr, QLabel** detailLabel = nullptr) {
    auto* row = new QWidget(group.box);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 7, 0, 7);
    layout->setSpacing(16);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* name = wrapped(qs(title), row);
    texts->addWidget(name);
    QLabel* more = nullptr;
    if (!detail.empty()) {
        more = wrapped(qs(detail), row, true);
        texts->addWidget(more);
    }
    layout->addLayout(texts, 1);
    if (control) {
        control->setParent(row);
        layout->addWidget(control, 0, Qt::AlignRight | Qt::AlignVCenter);
    }
    group.rows->addWidget(row);
    if (titleLabel)
        *titleLabel = name;
    if (detailLabel)
        *detailLabel = more;
    return row;
}

// The column of texts at the left of a row made by addRow, for lines added under them.
QVBoxLayout* textColumn(QWidget* row) {
    return static_cast<QVBoxLayout*>(row->layout()->itemAt(0)->layout());
}

QComboBox* durationPicker(const auto& choices, std::int64_t current) {
    auto* combo = new QComboBox;
    for (auto seconds : choices)
        combo->addItem(qs(Preferences::durationTitle(seconds)), QVariant::fromValue<qlonglong>(seconds));
    combo->setCurrentIndex(std::max(0, combo->findData(QVariant::fromValue<qlonglong>(current))));
    combo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    return combo;
}

// Segmented buttons in one row; returns the container, fills `group`.
QWidget* segmented(const std::vector<std::string>& titles, QButtonGroup*& group, QObject* owner) {
    auto* box = new QWidget;
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    group = new QButtonGroup(owner);
    group->setExclusive(true);
    for (std::size_t i = 0; i < titles.size(); ++i) {
        auto* button = new QPushButton(qs(titles[i]), box);
        button->setCheckable(true);
        layout->addWidget(button);
        group->addButton(button, int(i));
    }
    return box;
}

// Buttons whose label keeps clear of their border, whatever the style's own margins: the text
// and room on either side, in every language.
void padButtons(QWidget* root) {
    for (QPushButton* button : root->findChildren<QPushButton*>()) {
        if (button->text().isEmpty() || button->minimumWidth() == button->maximumWidth())
            continue;                               // a swatch or another control of fixed size
        const char* base = "tolvaBaseMinimumWidth"; // the width asked for before any text
        if (!button->property(base).isValid())
            button->setProperty(base, button->minimumWidth());
        const int text = button->fontMetrics().horizontalAdvance(button->text());
        button->setMinimumWidth(std::max(button->property(base).toInt(), text + 2 * 14));
    }
}

// The sidebar tiles: a rounded square in the tab's two colours with a small white symbol.
QIcon tabIcon(SettingsTab tab) {
    static const std::pair<QColor, QColor> colours[] = {{QColor(0x8E, 0x8E, 0x93), QColor(0x63, 0x63, 0x66)},
                                                        {QColor(0x5A, 0xC8, 0xFA), QColor(0x00, 0x7A, 0xFF)},
                                                        {QColor(0xFF, 0x6B, 0x6B), QColor(0xE0, 0x31, 0x31)},
                                                        {QColor(0x66, 0xD4, 0x7E), QColor(0x28, 0xA7, 0x45)},
                                                        {QColor(0xB1, 0x8C, 0xFF), QColor(0x7D, 0x4C, 0xDB)}};
    const auto [top, bottom] = colours[static_cast<int>(tab)];
    QPixmap pixmap(48, 48);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient fill(0, 0, 0, 48);
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(2, 2, 44, 44), 10, 10);
    QPen pen(Qt::white, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    switch (tab) {
    case SettingsTab::general: // sliders
        for (int i = 0; i < 3; ++i) {
            const double y = 15 + i * 9;
            p.drawLine(QPointF(13, y), QPointF(35, y));
            p.setBrush(Qt::white);
            p.drawEllipse(QPointF(i == 1 ? 29 : 19, y), 2.6, 2.6);
            p.setBrush(Qt::NoBrush);
        }
        break;
    case SettingsTab::display: // two overlapping screens
        p.drawRoundedRect(QRectF(11, 12, 18, 15), 3, 3);
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(19, 20, 18, 15), 3, 3);
        break;
    case SettingsTab::security: // a padlock
        p.drawArc(QRectF(17, 10, 14, 16), 0, 180 * 16);
        p.drawLine(QPointF(17, 18), QPointF(17, 22));
        p.drawLine(QPointF(31, 18), QPointF(31, 22));
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(13, 22, 22, 15), 3, 3);
        break;
    case SettingsTab::permissions: // a check mark in a shield
        p.drawLine(QPointF(16, 25), QPointF(22, 31));
        p.drawLine(QPointF(22, 31), QPointF(33, 17));
        break;
    case SettingsTab::about: // "i"
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(24, 14), 2.2, 2.2);
        p.drawLine(QPointF(24, 21), QPointF(24, 34));
        break;
    }
    QIcon icon(pixmap);
    icon.addPixmap(pixmap, QIcon::Selected); // the tile keeps its colours on the selection
    return icon;
}

QPixmap appIcon(int size) {
    // The same icon as every window and the installed package.
    return StatusIcon::applicationIcon().pixmap(size, size);
}

} // namespace

SettingsView::SettingsView(SettingsEnvironment environment, SettingsTab initialTab, QWidget* parent)
    : QWidget(parent), env_(std::move(environment)), tab_(initialTab) {
    if (!env_.chooseImageFile)
        env_.chooseImageFile = [](QWidget* owner) -> std::optional<std::filesystem::path> {
            // The static function shows the desktop's own dialog (through the XDG portal or the
            // desktop's toolkit) wherever Qt's platform theme offers one, Qt's own elsewhere.
            const QString file = QFileDialog::getOpenFileName(
                owner, qs(L10n::Settings::Display::imagePanelMessage()), imageFolder(), imageFilter());
            if (file.isEmpty())
                return std::nullopt;
            return std::filesystem::path(file.toStdString());
        };
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    sidebar_ = new QListWidget(this);
    sidebar_->setFixedWidth(sidebarWidth);
    sidebar_->setIconSize(QSize(24, 24));
    sidebar_->setFrameShape(QFrame::NoFrame);
    sidebar_->setSpacing(2);
    sidebar_->setStyleSheet(QStringLiteral(
        "QListWidget { background: palette(window); padding: 10px 8px; outline: 0; }"
        "QListWidget::item { padding: 6px 6px; border-radius: 6px; }"
        "QListWidget::item:selected { background: palette(highlight); color: palette(highlighted-text); }"));
    layout->addWidget(sidebar_);
    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Midlight);
    layout->addWidget(divider);
    pages_ = new QStackedWidget(this);
    layout->addWidget(pages_, 1);
    connect(sidebar_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row < 0 || row >= int(allSettingsTabs.size()))
            return;
        const SettingsTab tab = allSettingsTabs[std::size_t(row)];
        pages_->setCurrentIndex(row);
        tab_ = tab;
        if (tab_ != SettingsTab::display)
            OverlayColorWell::hidePanel(); // the colour belongs to the Overlay tab
        updatePolling();
        sync();
        if (onTabChanged)
            onTabChanged(tab_);
    });
    build();
    localizationObserver_ = NotificationCenter::defaultCenter().addObserver(
        std::string(Localization::didChange), [this](const void*) {
            // Not inside the language picker's own signal: the picker is rebuilt too.
            QTimer::singleShot(0, this, [this] { rebuild(); });
        });
    for (int p = 0; p <= int(Preferences::Property::appLanguage); ++p) {
        if (static_cast<Preferences::Property>(p) == Preferences::Property::settingsWindowPlacement)
            continue; // written while the window is dragged; nothing here shows it
        observations_.push_back(env_.prefs->observe(static_cast<Preferences::Property>(p), [this] {
            if (!syncing_)
                syncShownTab(); // the other tabs re-read when they are shown
        }));
    }
}

void SettingsView::setUpdateControls(std::shared_ptr<UpdateControls> updates) {
    env_.updates = std::move(updates);
    syncing_ = true;
    syncAbout();
    syncing_ = false;
}

SettingsView::~SettingsView() = default;

void SettingsView::build() {
    sidebar_->blockSignals(true);
    sidebar_->clear();
    for (SettingsTab tab : allSettingsTabs)
        sidebar_->addItem(new QListWidgetItem(tabIcon(tab), qs(title(tab))));
    general_ = {};
    display_ = {};
    thumbnailOf_.reset();
    security_ = {};
    permissions_ = {};
    about_ = {};
    const std::array<QWidget* (SettingsView::*)(), 5> builders = {
        &SettingsView::buildGeneral, &SettingsView::buildDisplay, &SettingsView::buildSecurity,
        &SettingsView::buildPermissions, &SettingsView::buildAbout};
    for (std::size_t i = 0; i < builders.size(); ++i) {
        auto* scroll = new QScrollArea(pages_);
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroll->setFocusPolicy(Qt::NoFocus); // Tab goes from the sidebar straight to the first row
        auto* content = (this->*builders[i])();
        scroll->setWidget(content);
        pages_->addWidget(scroll);
    }
    const int row = static_cast<int>(tab_);
    sidebar_->setCurrentRow(row);
    pages_->setCurrentIndex(row);
    sidebar_->blockSignals(false);
    sync();
}

void SettingsView::rebuild() {
    if (general_.hotKey)
        general_.hotKey->stopRecording();
    while (pages_->count() > 0) {
        QWidget* page = pages_->widget(0);
        pages_->removeWidget(page);
        delete page;
    }
    build();
    if (onTabChanged)
        onTabChanged(tab_);
}

void SettingsView::setTab(SettingsTab tab) {
    sidebar_->setCurrentRow(static_cast<int>(tab));
}

QString SettingsView::imageFilter() {
    QStringList patterns;
    for (const QByteArray& format : QImageReader::supportedImageFormats())
        patterns << QStringLiteral("*.") + QString::fromLatin1(format);
    return QStringLiteral("%1 (%2)").arg(qs(L10n::Settings::Display::imageFilesFilter()), patterns.join(' '));
}

QString SettingsView::imageFolder() {
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    return QDir(pictures).exists() ? pictures : QDir::homePath();
}

PinSetupSheet* SettingsView::pinSheet() const {
    return findChild<PinSetupSheet*>();
}

std::string SettingsView::versionText() {
    return std::string(TOLVA_VERSION) + " (" + TOLVA_BUILD + ")";
}

// General ----------------------------------------------------------------------------------

QWidget* SettingsView::buildGeneral() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 20, 24, 20);
    auto& prefs = *env_.prefs;

    Group overlay = addGroup(layout, L10n::Settings::General::lockGroup());
    general_.idle = durationPicker(Preferences::idleTimeoutChoices, prefs.idleTimeoutSeconds());
    connect(general_.idle, &QComboBox::activated, this, [this](int index) {
        env_.prefs->setIdleTimeoutSeconds(general_.idle->itemData(index).toLongLong());
    });
    addRow(overlay, L10n::Settings::General::idleRow(), "", general_.idle);
    general_.hotKey = new HotKeyRecorderView;
    general_.hotKey->get = [this] { return env_.prefs->lockHotKey(); };
    general_.hotKey->set = [this](const std::optional<HotKey>& hotKey) { env_.prefs->setLockHotKey(hotKey); };
    general_.hotKey->check = env_.hotKeyCheck;
    general_.hotKey->onRecordingChanged = env_.onHotKeyRecording;
    general_.hotKey->refusal = env_.hotKeyRefusal;
    general_.hotKey->compositorBinding = env_.compositorBinding;
    general_.hotKey->refresh();
    addRow(overlay, L10n::Settings::General::hotKeyRow(), "", general_.hotKey);
    general_.keepAwake = durationPicker(Preferences::keepAwakeChoices, prefs.keepAwakeSeconds());
    connect(general_.keepAwake, &QComboBox::activated, this, [this](int index) {
        env_.prefs->setKeepAwakeSeconds(general_.keepAwake->itemData(index).toLongLong());
    });
    addRow(overlay, L10n::Settings::General::keepAwakeRow(), "", general_.keepAwake);
    general_.lockSystemOnExpiry = new ToggleSwitch;
    connect(general_.lockSystemOnExpiry, &QAbstractButton::toggled, this, [this](bool on) {
        if (!syncing_)
            env_.prefs->setLockSystemOnExpiry(on);
    });
    addRow(overlay, L10n::Settings::General::lockSystemOnExpiryRow(), "", general_.lockSystemOnExpiry);

    Group startup = addGroup(layout, L10n::Settings::General::startupGroup());
    general_.launchAtLogin = new ToggleSwitch;
    connect(general_.launchAtLogin, &QAbstractButton::toggled, this, [this](bool on) {
        if (!syncing_)
            setLaunchAtLogin(on);
    });
    addRow(startup, L10n::Settings::General::launchAtLoginRow(), " ", general_.launchAtLogin, nullptr,
           &general_.launchFailure);
    general_.launchFailure->setForegroundRole(QPalette::NoRole);
    general_.launchFailure->setStyleSheet(QStringLiteral("color: #d70015;"));

    Group language = addGroup(layout, L10n::Settings::General::languageGroup());
    general_.language = new QComboBox;
    general_.language->addItem(qs(L10n::Settings::General::languageSystem()), QString());
    for (AppLanguage lang : AppLanguage::allCases())
        general_.language->addItem(QString::fromUtf8(lang.endonym().data(), int(lang.endonym().size())),
                                   QString::fromUtf8(lang.rawValue().data(), int(lang.rawValue().size())));
    connect(general_.language, &QComboBox::activated, this, [this](int index) {
        const QString raw = general_.language->itemData(index).toString();
        Localization::shared().setOverride(raw.isEmpty() ? std::nullopt
                                                         : AppLanguage::fromRawValue(raw.toStdString()));
    });
    addRow(language, L10n::Settings::General::languageRow(), L10n::Settings::General::languageHint(),
           general_.language);
    layout->addStretch();
    return page;
}

void SettingsView::setLaunchAtLogin(bool enabled) {
    if (enabled == LaunchAtLogin::isEnabled())
        return;
    try {
        LaunchAtLogin::setEnabled(enabled, env_.executable);
        launchFailure_.reset();
    } catch (const std::exception& error) {
        Log::ui.error(std::string("launch at login failed: ") + error.what());
        launchFailure_ = error.what();
    }
    sync();
}

void SettingsView::syncGeneral() {
    auto& prefs = *env_.prefs;
    general_.idle->setCurrentIndex(
        std::max(0, general_.idle->findData(QVariant::fromValue<qlonglong>(prefs.idleTimeoutSeconds()))));
    general_.hotKey->refresh();
    general_.keepAwake->setCurrentIndex(
        std::max(0, general_.keepAwake->findData(QVariant::fromValue<qlonglong>(prefs.keepAwakeSeconds()))));
    general_.lockSystemOnExpiry->setChecked(prefs.lockSystemOnExpiry());
    general_.launchAtLogin->setChecked(LaunchAtLogin::isEnabled());
    general_.launchFailure->setText(launchFailure_ ? qs(*launchFailure_) : QString());
    general_.launchFailure->setVisible(launchFailure_.has_value());
    const auto chosen = Localization::shared().override();
    const QString raw =
        chosen ? QString::fromUtf8(chosen->rawValue().data(), int(chosen->rawValue().size())) : QString();
    general_.language->setCurrentIndex(std::max(0, general_.language->findData(raw)));
}

// Overlay ----------------------------------------------------------------------------------

QWidget* SettingsView::buildDisplay() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 20, 24, 20);

    Group style = addGroup(layout, L10n::Settings::Display::overlayGroup());
    display_.mode = new QComboBox;
    for (auto mode : {OverlayContentMode::liveTint, OverlayContentMode::solidColor,
                      OverlayContentMode::snapshot, OverlayContentMode::image})
        display_.mode->addItem(qs(OverlayContentMode(mode).title()), int(mode));
    connect(display_.mode, &QComboBox::activated, this, [this](int index) {
        env_.prefs->setOverlayContentMode(OverlayContentMode(
            static_cast<OverlayContentMode::Value>(display_.mode->itemData(index).toInt())));
    });
    addRow(style, L10n::Settings::Display::modeRow(), " ", display_.mode, nullptr, &display_.modeDetail);

    auto* badge = new QLabel(qs("⚠ " + L10n::Settings::Display::screenRecordingBadge()));
    badge->setStyleSheet(QStringLiteral("color: #b25000;"));
    display_.screenRecordingRow = addRow(style, L10n::Settings::Display::screenRecordingRow(),
                                         L10n::Settings::Permissions::screenRecordingDetail(), badge);

    display_.color = new OverlayColorWell;
    display_.color->get = [this] { return env_.prefs->overlayColor(); };
    display_.color->set = [this](const SRGBColor& color) { env_.prefs->setOverlayColor(color); };
    display_.colorRow =
        addRow(style, L10n::Settings::Display::tintColorRow(), "", display_.color, &display_.colorTitle);

    auto* opacity = new QWidget;
    auto* opacityLayout = new QHBoxLayout(opacity);
    opacityLayout->setContentsMargins(0, 0, 0, 0);
    display_.opacity = new QSlider(Qt::Horizontal, opacity);
    display_.opacity->setRange(2, 50); // hundredths
    display_.opacity->setFixedWidth(200);
    display_.opacityValue = new QLabel(opacity);
    display_.opacityValue->setMinimumWidth(40);
    opacityLayout->addWidget(display_.opacity);
    opacityLayout->addWidget(display_.opacityValue);
    connect(display_.opacity, &QSlider::valueChanged, this, [this](int value) {
        if (!syncing_)
            env_.prefs->setLiveTintOpacity(value / 100.0);
    });
    display_.opacityRow = addRow(style, L10n::Settings::Display::opacityRow(), "", opacity);

    auto* image = new QWidget;
    auto* imageLayout = new QHBoxLayout(image);
    imageLayout->setContentsMargins(0, 0, 0, 0);
    display_.imageThumbnail = new QLabel(image);
    display_.imageThumbnail->setFixedSize(96, 54);
    display_.imageThumbnail->setAlignment(Qt::AlignCenter);
    display_.imageThumbnail->setStyleSheet(
        QStringLiteral("QLabel { border: 1px solid palette(mid); border-radius: 4px; }"));
    display_.chooseImage = new QPushButton(qs(L10n::Settings::Display::chooseImageButton()), image);
    display_.removeImage = new QPushButton(qs(L10n::Settings::Display::removeImageButton()), image);
    imageLayout->addWidget(display_.imageThumbnail);
    imageLayout->addWidget(display_.chooseImage);
    imageLayout->addWidget(display_.removeImage);
    connect(display_.chooseImage, &QPushButton::clicked, this, [this] { chooseImage(); });
    connect(display_.removeImage, &QPushButton::clicked, this, [this] {
        if (auto name = env_.prefs->overlayImageFileName())
            ImageStore::remove(*name);
        importFailure_.reset();
        env_.prefs->setOverlayImageFileName(std::nullopt);
    });
    display_.imageRow = addRow(style, L10n::Settings::Display::ImageRow::custom(), " ", image,
                               &display_.imageTitle, &display_.imageHint);
    display_.importFailure = wrapped(QString(), display_.imageRow);
    display_.importFailure->setStyleSheet(QStringLiteral("color: #d70015;"));
    textColumn(display_.imageRow)->addWidget(display_.importFailure);

    Group motion = addGroup(layout, L10n::Settings::Motion::group());
    display_.motion = new ToggleSwitch;
    connect(display_.motion, &QAbstractButton::toggled, this, [this](bool on) {
        if (!syncing_)
            env_.prefs->setAnimationsEnabled(on);
    });
    addRow(motion, L10n::Settings::Motion::enableRow(), L10n::Settings::Motion::enableRowDetail(),
           display_.motion);
    const OverlayAnimation effects[] = {OverlayAnimation::pixelShift, OverlayAnimation::breathing,
                                        OverlayAnimation::gradientDrift};
    for (std::size_t i = 0; i < 3; ++i) {
        const OverlayAnimation effect = effects[i];
        auto* toggle = new ToggleSwitch;
        display_.effects[i] = toggle;
        connect(toggle, &QAbstractButton::toggled, this, [this, effect](bool on) {
            if (syncing_)
                return;
            env_.prefs->modify(&Preferences::animations, &Preferences::setAnimations,
                               [&](OverlayAnimationSet& set) {
                                   if (on)
                                       set.insert(effect);
                                   else
                                       set.erase(effect);
                               });
        });
        QLabel* detail = nullptr;
        addRow(motion, effect.title(), effect.detail(), toggle, nullptr, &detail);
        if (effect == OverlayAnimation::pixelShift) {
            display_.pixelShiftNote =
                wrapped(qs(L10n::OverlayAnimation::PixelShift::unavailable()), detail->parentWidget(), true);
            textColumn(detail->parentWidget())->addWidget(display_.pixelShiftNote);
        }
    }
    std::vector<std::string> strengths;
    for (auto s : {AnimationStrength::subtle, AnimationStrength::medium, AnimationStrength::strong})
        strengths.push_back(AnimationStrength(s).title());
    QWidget* strength = segmented(strengths, display_.strength, this);
    connect(display_.strength, &QButtonGroup::idClicked, this, [this](int id) {
        env_.prefs->setAnimationStrength(AnimationStrength(static_cast<AnimationStrength::Value>(id)));
    });
    addRow(motion, L10n::Settings::Motion::strengthRow(), "", strength);
    auto* warning = wrapped(qs("⚠ " + L10n::Settings::Motion::reduceMotionWarning()), nullptr);
    warning->setStyleSheet(QStringLiteral("color: #b25000;"));
    warning->setContentsMargins(0, 6, 0, 6);
    motion.rows->addWidget(warning);
    display_.reduceMotionWarning = warning;

    Group note = addGroup(layout, L10n::Settings::Display::awayNoteGroup());
    display_.awayNote = new ToggleSwitch;
    connect(display_.awayNote, &QAbstractButton::toggled, this, [this](bool on) {
        if (!syncing_)
            env_.prefs->setAwayNoteEnabled(on);
    });
    addRow(note, L10n::Settings::Display::awayNoteRow(), "", display_.awayNote);
    display_.awayNoteText = new QLineEdit;
    display_.awayNoteText->setPlaceholderText(qs(L10n::AwayNote::defaultText()));
    display_.awayNoteText->setMinimumWidth(260);
    connect(display_.awayNoteText, &QLineEdit::textEdited, this,
            [this](const QString& text) { env_.prefs->setAwayNoteText(text.toStdString()); });
    connect(display_.awayNoteText, &QLineEdit::editingFinished, this,
            [this] { display_.awayNoteText->setText(qs(env_.prefs->awayNoteText())); });
    addRow(note, L10n::Settings::Display::awayNoteTextRow(), "", display_.awayNoteText);
    QWidget* noteStyle = segmented(
        {AwayNoteStyle(AwayNoteStyle::lockScreen).title(), AwayNoteStyle(AwayNoteStyle::stickyNote).title()},
        display_.awayNoteStyle, this);
    connect(display_.awayNoteStyle, &QButtonGroup::idClicked, this, [this](int id) {
        env_.prefs->setAwayNoteStyle(AwayNoteStyle(static_cast<AwayNoteStyle::Value>(id)));
    });
    addRow(note, L10n::Settings::Display::awayNoteStyleRow(), "", noteStyle);
    display_.returnTime = new ToggleSwitch;
    connect(display_.returnTime, &QAbstractButton::toggled, this, [this](bool on) {
        if (!syncing_)
            env_.prefs->setAwayNoteShowsReturnTime(on);
    });
    addRow(note, L10n::Settings::Display::awayNoteReturnTimeRow(),
           L10n::Settings::Display::awayNoteReturnTimeRowDetail(), display_.returnTime);

    Group preview = addGroup(layout, L10n::Settings::Display::previewGroup());
    display_.preview = new OverlayPreviewCanvas(*env_.scheduler, preview.box);
    preview.rows->addSpacing(6);
    preview.rows->addWidget(display_.preview, 0, Qt::AlignHCenter);
    preview.rows->addSpacing(6);
    display_.previewHint = wrapped(qs(L10n::Settings::Display::previewHint()), preview.box, true);
    preview.rows->addWidget(display_.previewHint);
    display_.motionPreviewHint = wrapped(qs(L10n::Settings::Motion::previewHint()), preview.box, true);
    preview.rows->addWidget(display_.motionPreviewHint);
    layout->addStretch();
    return page;
}

void SettingsView::chooseImage() {
    const auto file = env_.chooseImageFile(window());
    if (!file)
        return;
    try {
        QImageReader reader(QString::fromStdString(file->string()));
        if (!reader.canRead())
            throw std::runtime_error(reader.errorString().toStdString());
        const std::string stored = ImageStore::importImage(*file);
        const auto previous = env_.prefs->overlayImageFileName();
        importFailure_.reset();
        env_.prefs->setOverlayImageFileName(stored);
        if (previous && *previous != stored)
            ImageStore::remove(*previous); // only the image in use is kept
    } catch (const std::exception& error) {
        importFailure_ = L10n::Settings::Display::importFailed(std::string(error.what()));
        Log::ui.error(std::string("overlay image import failed: ") + error.what());
        sync();
    }
}

void SettingsView::syncDisplay() {
    auto& prefs = *env_.prefs;
    const OverlayContentMode mode = prefs.overlayContentMode();
    const bool tint = mode == OverlayContentMode::liveTint;
    const bool withImage = mode == OverlayContentMode::image || mode == OverlayContentMode::snapshot;
    display_.mode->setCurrentIndex(display_.mode->findData(int(mode)));
    display_.modeDetail->setText(qs(mode.detail()));
    const bool captureAllowed = env_.screenCaptureAllowed ? env_.screenCaptureAllowed() : true;
    display_.screenRecordingRow->setVisible(mode == OverlayContentMode::snapshot && !captureAllowed);
    display_.colorTitle->setText(
        qs(tint ? L10n::Settings::Display::tintColorRow() : L10n::Settings::Display::backgroundColorRow()));
    display_.color->refresh();
    display_.opacityRow->setVisible(tint);
    const double opacity = prefs.liveTintOpacity();
    display_.opacity->setValue(int(std::lround(opacity * 100)));
    display_.opacityValue->setText(QStringLiteral("%1 %").arg(int(std::lround(opacity * 100))));
    display_.imageRow->setVisible(withImage);
    display_.imageTitle->setText(qs(mode == OverlayContentMode::image
                                        ? L10n::Settings::Display::ImageRow::custom()
                                        : L10n::Settings::Display::ImageRow::fallback()));
    display_.imageHint->setText(qs(mode == OverlayContentMode::image
                                       ? L10n::Settings::Display::ImageHint::custom()
                                       : L10n::Settings::Display::ImageHint::fallback()));
    const auto imageName = prefs.overlayImageFileName();
    if (!thumbnailOf_ || *thumbnailOf_ != imageName) { // scaled once per image, not at every sync
        thumbnailOf_ = imageName;
        const QImage thumbnail = imageName ? OverlayPreview::userImage(*imageName) : QImage();
        if (thumbnail.isNull()) {
            display_.imageThumbnail->setPixmap(QPixmap());
            display_.imageThumbnail->setText(qs(L10n::Settings::Display::noImagePlaceholder()));
        } else {
            display_.imageThumbnail->setPixmap(
                QPixmap::fromImage(thumbnail.scaled(display_.imageThumbnail->size() - QSize(2, 2),
                                                    Qt::KeepAspectRatio, Qt::SmoothTransformation)));
        }
    }
    display_.removeImage->setEnabled(imageName.has_value());
    display_.importFailure->setText(importFailure_ ? qs(*importFailure_) : QString());
    display_.importFailure->setVisible(importFailure_.has_value());

    const bool reduceMotion = env_.reduceMotion ? env_.reduceMotion() : false;
    display_.motion->setChecked(prefs.animationsEnabled());
    const OverlayAnimationSet chosen = prefs.animations();
    const OverlayAnimation effects[] = {OverlayAnimation::pixelShift, OverlayAnimation::breathing,
                                        OverlayAnimation::gradientDrift};
    for (std::size_t i = 0; i < 3; ++i) {
        display_.effects[i]->setChecked(chosen.count(effects[i]) > 0);
        display_.effects[i]->setEnabled(prefs.animationsEnabled());
    }
    const bool shiftApplies = OverlayAnimation(OverlayAnimation::pixelShift).applies(mode);
    if (!shiftApplies)
        display_.effects[0]->setEnabled(false);
    display_.pixelShiftNote->setVisible(!shiftApplies);
    QWidget* shiftRow = display_.effects[0]->parentWidget();
    for (QLabel* label : shiftRow->findChildren<QLabel*>())
        if (label != display_.pixelShiftNote)
            label->setEnabled(shiftApplies);
    if (auto* button = display_.strength->button(int(prefs.animationStrength())))
        button->setChecked(true);
    // The strength of motion that is off means nothing: off with it.
    for (QAbstractButton* button : display_.strength->buttons())
        button->setEnabled(prefs.animationsEnabled());
    display_.reduceMotionWarning->setVisible(reduceMotion);

    display_.awayNote->setChecked(prefs.awayNoteEnabled());
    if (!display_.awayNoteText->hasFocus())
        display_.awayNoteText->setText(qs(prefs.awayNoteText()));
    if (auto* button = display_.awayNoteStyle->button(int(prefs.awayNoteStyle())))
        button->setChecked(true);
    display_.returnTime->setChecked(prefs.awayNoteShowsReturnTime());

    display_.preview->apply(OverlayPreview::fromPreferences(prefs, reduceMotion, env_.now()));
    bool moving = false;
    for (auto effect : prefs.effectiveAnimations(reduceMotion))
        moving = moving || OverlayAnimation(effect).applies(mode);
    display_.motionPreviewHint->setVisible(moving);
}

// Security ---------------------------------------------------------------------------------

QWidget* SettingsView::buildSecurity() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 20, 24, 20);
    Group unlock = addGroup(layout, L10n::Settings::Security::unlockGroup());
    auto* pin = new QWidget;
    auto* pinLayout = new QHBoxLayout(pin);
    pinLayout->setContentsMargins(0, 0, 0, 0);
    security_.pinState = new QLabel(pin);
    security_.pinState->setForegroundRole(QPalette::PlaceholderText);
    security_.pinButton = new QPushButton(pin);
    pinLayout->addWidget(security_.pinState);
    pinLayout->addWidget(security_.pinButton);
    connect(security_.pinButton, &QPushButton::clicked, this, [this] { openPinSheet(); });
    addRow(unlock, L10n::Settings::Security::pinRow(), " ", pin, nullptr, &security_.pinNotice);
    security_.pinNotice->setForegroundRole(QPalette::NoRole);
    security_.pinNotice->setStyleSheet(QStringLiteral("color: #1f7a34;"));
    security_.loginPassword = new ToggleSwitch;
    connect(security_.loginPassword, &QAbstractButton::toggled, this, [this](bool on) {
        if (!syncing_)
            env_.prefs->setAllowLoginPasswordUnlock(on);
    });
    addRow(unlock, L10n::Settings::Security::loginPasswordRow(),
           L10n::Settings::Security::loginPasswordDetail(), security_.loginPassword);
    security_.touchID = new ToggleSwitch;
    connect(security_.touchID, &QAbstractButton::toggled, this, [this](bool on) {
        if (!syncing_)
            env_.prefs->setTouchIDEnabled(on);
    });
    addRow(unlock, L10n::Settings::Security::touchIDRow(), L10n::Settings::Security::touchIDUnavailable(),
           security_.touchID, nullptr, &security_.touchIDUnavailable);
    layout->addStretch();
    return page;
}

void SettingsView::openPinSheet() {
    if (pinSheet())
        return;
    auto* sheet = new PinSetupSheet(env_.authenticator, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    const bool change = env_.authenticator->isPINConfigured();
    connect(sheet, &QDialog::finished, this, [this, change](int result) {
        if (env_.controller)
            env_.controller->refreshCapabilities();
        // Saved: said under the PIN row, until the window closes.
        if (result == QDialog::Accepted)
            pinNotice_ = change ? L10n::Settings::Security::pinChanged() : L10n::Settings::Security::pinSet();
        syncSecurity();
    });
    sheet->open();
}

void SettingsView::syncSecurity() {
    auto& prefs = *env_.prefs;
    if (auto& record = env_.authenticator->record()) {
        security_.pinState->setText(qs(L10n::Settings::Security::pinConfigured(record->length)));
        security_.pinButton->setText(qs(L10n::Settings::Security::changePinButton()));
    } else {
        security_.pinState->setText(qs(L10n::Settings::Security::pinMissing()));
        security_.pinButton->setText(qs(L10n::Settings::Security::setPinButton()));
    }
    security_.pinNotice->setText(pinNotice_ ? qs(*pinNotice_) : QString());
    security_.pinNotice->setVisible(pinNotice_.has_value());
    security_.loginPassword->setChecked(prefs.allowLoginPasswordUnlock());
    const bool fingerprint = env_.touchIDAvailable ? env_.touchIDAvailable() : false;
    // Without a reader the switch shows off: nothing would be offered, whatever the preference.
    security_.touchID->setChecked(fingerprint && prefs.touchIDEnabled());
    security_.touchID->setEnabled(fingerprint);
    security_.touchIDUnavailable->setVisible(!fingerprint);
    // Why not: no reader, or no finger enrolled for this account.
    std::optional<std::string> why;
    if (env_.controller)
        why = env_.controller->touchIDAvailability().unavailableText();
    security_.touchIDUnavailable->setText(qs(why.value_or(L10n::Settings::Security::touchIDUnavailable())));
}

// Permissions ------------------------------------------------------------------------------

QWidget* SettingsView::buildPermissions() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 20, 24, 20);
    Group system = addGroup(layout, L10n::Settings::Permissions::systemGroup());
    // There is nothing to request or open on this desktop: the rows say what is true.
    permissions_.keyboardState = new QLabel;
    addRow(system,
           L10n::Settings::Permissions::accessibilityName() + " · " +
               L10n::Settings::Permissions::requiredNote(),
           L10n::Settings::Permissions::accessibilityDetail(), permissions_.keyboardState);
    permissions_.coverBlocked = wrapped(QString(), nullptr);
    permissions_.coverBlocked->setTextInteractionFlags(Qt::TextSelectableByMouse);
    permissions_.coverBlocked->setStyleSheet(QStringLiteral("color: #b25000;"));
    permissions_.coverBlocked->hide();
    system.rows->addWidget(permissions_.coverBlocked);
    permissions_.screenCaptureState = new QLabel;
    addRow(system,
           L10n::Settings::Permissions::screenRecordingName() + " · " +
               L10n::Settings::Permissions::snapshotOnlyNote(),
           L10n::Settings::Permissions::screenRecordingDetail(), permissions_.screenCaptureState);
    layout->addStretch();
    return page;
}

void SettingsView::syncPermissions() {
    auto state = [](QLabel* label, bool allowed) {
        label->setText(qs(allowed ? "✓ " + L10n::Settings::Permissions::granted()
                                  : "⚠ " + L10n::Settings::Permissions::denied()));
        label->setStyleSheet(allowed ? QStringLiteral("color: #1f9d3a;") : QStringLiteral("color: #b25000;"));
    };
    state(permissions_.keyboardState, env_.controller && env_.controller->accessibilityGranted());
    const auto coverBlocked = env_.controller ? env_.controller->coverBlockedReason() : std::nullopt;
    permissions_.coverBlocked->setText(qs(coverBlocked.value_or("")));
    permissions_.coverBlocked->setVisible(coverBlocked.has_value());
    state(permissions_.screenCaptureState, env_.screenCaptureAllowed ? env_.screenCaptureAllowed() : true);
}

// About ------------------------------------------------------------------------------------

QWidget* SettingsView::buildAbout() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(24, 28, 24, 20);
    auto* icon = new QLabel(page);
    icon->setPixmap(appIcon(96));
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    about_.name = new QLabel(QStringLiteral("Tolva Screen"), page);
    QFont big = about_.name->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    about_.name->setFont(big);
    layout->addWidget(about_.name, 0, Qt::AlignHCenter);
    about_.version = new QLabel(qs(versionText()), page);
    about_.version->setForegroundRole(QPalette::PlaceholderText);
    about_.version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(about_.version, 0, Qt::AlignHCenter);
    about_.tagline = new QLabel(qs(L10n::About::tagline()), page);
    layout->addWidget(about_.tagline, 0, Qt::AlignHCenter);
    layout->addSpacing(20);

    Group updates = addGroup(layout, L10n::About::Update::group());
    about_.autoCheck = new ToggleSwitch;
    connect(about_.autoCheck, &QAbstractButton::toggled, this, [this](bool on) {
        if (!syncing_ && env_.updates && env_.updates->setAutomaticallyChecks)
            env_.updates->setAutomaticallyChecks(on);
    });
    addRow(updates, L10n::About::Update::autoRow(), "", about_.autoCheck);
    about_.check = new QPushButton(qs(L10n::About::Update::check()));
    connect(about_.check, &QPushButton::clicked, this, [this] {
        if (env_.updates && env_.updates->checkForUpdates)
            env_.updates->checkForUpdates();
        syncAbout();
    });
    // The row's title is the status line (last check, or why there are no updates).
    addRow(updates, "", "", about_.check, &about_.updateStatus);
    about_.updateStatus->setForegroundRole(QPalette::PlaceholderText);
    layout->addStretch();
    return page;
}

void SettingsView::syncAbout() {
    const auto& updates = env_.updates;
    const bool available = updates != nullptr;
    about_.autoCheck->setEnabled(available && updates->setAutomaticallyChecks);
    about_.autoCheck->setChecked(available && updates->automaticallyChecks && updates->automaticallyChecks());
    about_.check->setEnabled(available && updates->checkForUpdates &&
                             (!updates->canCheckForUpdates || updates->canCheckForUpdates()));
    std::optional<std::string> status;
    if (!available)
        status = L10n::About::Update::unavailable();
    else if (updates->lastCheckedLine)
        status = updates->lastCheckedLine();
    about_.updateStatus->setText(status ? qs(*status) : QString());
}

// Shared -----------------------------------------------------------------------------------

void SettingsView::sync() {
    if (syncing_ || !general_.idle)
        return;
    syncing_ = true;
    syncGeneral();
    syncDisplay();
    syncSecurity();
    syncPermissions();
    syncAbout();
    padButtons(pages_);
    syncing_ = false;
}

void SettingsView::syncShownTab() {
    if (syncing_ || !general_.idle)
        return;
    syncing_ = true;
    switch (tab_) {
    case SettingsTab::general:
        syncGeneral();
        break;
    case SettingsTab::display:
        syncDisplay();
        break;
    case SettingsTab::security:
        syncSecurity();
        break;
    case SettingsTab::permissions:
        syncPermissions();
        break;
    case SettingsTab::about:
        syncAbout();
        break;
    }
    padButtons(pages_->currentWidget());
    syncing_ = false;
}

void SettingsView::updatePolling() {
    // The Overlay and Permissions tabs re-read the permissions once a second while shown.
    const bool polls = isVisible() && (tab_ == SettingsTab::display || tab_ == SettingsTab::permissions);
    if (!polls) {
        polling_.cancel();
        return;
    }
    if (polling_.isActive())
        return;
    polling_ = env_.scheduler->every(Seconds(1), [this] {
        if (tab_ == SettingsTab::permissions && env_.controller)
            env_.controller->refreshCapabilities();
        syncing_ = true;
        syncDisplay();
        syncPermissions();
        syncing_ = false;
    });
}

void SettingsView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    sync();
    updatePolling();
}

void SettingsView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    polling_.cancel();
    pinNotice_.reset();
}

} // namespace tolva
