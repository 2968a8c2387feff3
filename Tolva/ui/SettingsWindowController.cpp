// The settings window's life: built once, reused, hidden on close.
#include "ui/SettingsWindowController.h"

#include "TolvaCore/Localization.h"
#include "log/Log.h"

#include <QEvent>
#include <QVBoxLayout>

namespace tolva {

SettingsTab SettingsWindowController::initialTab = SettingsTab::general;

SettingsWindowController::SettingsWindowController(SettingsEnvironment environment,
                                                   std::shared_ptr<DisplaySource> displays)
    : env_(std::move(environment)), displays_(std::move(displays)) {}

SettingsWindowController::~SettingsWindowController() {
    if (window_)
        window_->removeEventFilter(this);
}

void SettingsWindowController::build() {
    window_ = std::make_unique<AppPanel>();
    window_->setObjectName(QLatin1String(identifier));
    window_->setMinimumSize(contentWidth, contentHeight);
    window_->resize(contentWidth, contentHeight);
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    currentTab_ = initialTab;
    note_ = new QLabel(window_.get());
    note_->setObjectName(QStringLiteral("note"));
    note_->setWordWrap(true);
    note_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    note_->setContentsMargins(16, 12, 16, 12);
    layout->addWidget(note_);
    view_ = new SettingsView(env_, initialTab, window_.get());
    layout->addWidget(view_);
    view_->onTabChanged = [this](SettingsTab tab) {
        currentTab_ = tab;
        setTitle();
    };
    setTitle();
    window_->installEventFilter(this);
    // The title follows the language; the view rebuilds its own texts.
    localizationObserver_ = NotificationCenter::defaultCenter().addObserver(
        std::string(Localization::didChange), [this](const void*) {
            setTitle();
            refreshNote();
        });
    refreshNote();
}

void SettingsWindowController::setNote(std::function<std::string()> text) {
    noteText_ = std::move(text);
    refreshNote();
}

void SettingsWindowController::refreshNote() {
    if (!note_)
        return;
    const std::string text = noteText_ ? noteText_() : std::string();
    note_->setText(QString::fromStdString(text));
    note_->setVisible(!text.empty());
}

void SettingsWindowController::setTitle() {
    if (window_)
        // The program's name first, so the taskbar and the window switcher say whose window it is.
        window_->setWindowTitle(QStringLiteral("Tolva Screen — ") +
                                QString::fromStdString(title(currentTab_)));
}

QRect SettingsWindowController::visibleFrame(const DisplayInfo& display) {
    return display.screen ? display.screen->availableGeometry() : display.geometry;
}

double SettingsWindowController::primaryHeight(const std::vector<DisplayInfo>& displays) const {
    for (const auto& d : displays)
        if (d.primary)
            return d.geometry.height();
    return displays.empty() ? 0 : displays.front().geometry.height();
}

std::optional<DisplayInfo>
SettingsWindowController::targetDisplay(std::optional<std::uint32_t> displayID,
                                        const std::vector<DisplayInfo>& displays) const {
    auto byID = [&](std::uint32_t id) -> std::optional<DisplayInfo> {
        for (const auto& d : displays)
            if (d.id == id && id != 0)
                return d;
        return std::nullopt;
    };
    if (displayID)
        if (auto d = byID(*displayID))
            return d;
    if (auto memory = env_.prefs->settingsWindowPlacement())
        if (auto d = byID(memory->screenID))
            return d;
    if (window_) {
        const QPoint centre = window_->geometry().center();
        for (const auto& d : displays)
            if (d.geometry.contains(centre))
                return d;
    }
    for (const auto& d : displays)
        if (d.primary)
            return d;
    if (!displays.empty())
        return displays.front();
    return std::nullopt;
}

void SettingsWindowController::show(std::optional<std::uint32_t> displayID, std::optional<SettingsTab> tab) {
    if (tab)
        initialTab = *tab;
    if (!window_)
        build();
    refreshNote();
    if (tab && view_->tab() != *tab)
        view_->setTab(*tab);

    const auto displays = displays_ ? displays_->displays() : std::vector<DisplayInfo>{};
    if (auto target = targetDisplay(displayID, displays)) {
        const double height = primaryHeight(displays);
        const Rect frame = SettingsWindowGeometry::frame(
            env_.prefs->settingsWindowPlacement(), ScreenCoordinates::toCore(visibleFrame(*target), height),
            Size{double(contentWidth), double(contentHeight)});
        const QRect placed = ScreenCoordinates::toQt(frame, height);
        if (window_->isVisible() && window_->geometry() != placed)
            window_->hide();
        if (!window_->isVisible()) {
            placedFrame_ = placed;
            window_->setGeometry(placed);
        }
    }
    // Re-read what may have changed while the window was closed (or the file by hand).
    view_->sync();
    window_->present();
}

void SettingsWindowController::setUpdateControls(std::shared_ptr<UpdateControls> updates) {
    env_.updates = updates;
    if (view_)
        view_->setUpdateControls(std::move(updates));
}

void SettingsWindowController::close() {
    OverlayColorWell::hidePanel();
    if (window_ && window_->isVisible())
        window_->close();
    if (window_)
        window_->isOpen = false;
    DockPresence::update();
}

void SettingsWindowController::rememberIfUserMoved() {
    if (!window_ || !window_->isVisible() || window_->isMinimized() || window_->isMaximized())
        return;
    const QRect frame = window_->geometry();
    if (placedFrame_ && *placedFrame_ == frame)
        return;
    const auto displays = displays_ ? displays_->displays() : std::vector<DisplayInfo>{};
    const QPoint centre = frame.center();
    for (const auto& d : displays) {
        if (!d.geometry.contains(centre) || d.id == 0)
            continue;
        const double height = primaryHeight(displays);
        env_.prefs->setSettingsWindowPlacement(
            SettingsWindowGeometry::Memory{ScreenCoordinates::toCore(frame, height),
                                           ScreenCoordinates::toCore(visibleFrame(d), height), d.id});
        Log::ui.debug("settings window placement saved");
        return;
    }
}

bool SettingsWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (window_ && watched == window_.get()) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
            rememberIfUserMoved();
            break;
        case QEvent::Close:
            OverlayColorWell::hidePanel();
            break;
        default:
            break;
        }
    }
    return false;
}

} // namespace tolva
