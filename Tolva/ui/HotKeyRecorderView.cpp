// Recording a shortcut: an application-wide key filter exists exactly while recording and
// takes only the settings window's key presses.
#include "ui/HotKeyRecorderView.h"

#include "TolvaCore/L10n.h"
#include "platform/KeyTranslation.h"
#include "ui/StatusMenuController.h"

#include <QApplication>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include <algorithm>

namespace tolva {

namespace {
constexpr std::uint32_t backspaceKey = 51;
constexpr std::uint32_t escapeKey = 53;
} // namespace

HotKeyRecorderView::HotKeyRecorderView(QWidget* parent) : QWidget(parent) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(4);
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    row->addStretch();
    button_ = new QPushButton(this);
    button_->setMinimumWidth(140);
    clear_ = new QPushButton(this);
    row->addWidget(button_);
    row->addWidget(clear_);
    outer->addLayout(row);
    message_ = new QLabel(this);
    message_->setWordWrap(true);
    message_->setAlignment(Qt::AlignRight);
    message_->setStyleSheet(QStringLiteral("color: #d70015;"));
    message_->hide();
    outer->addWidget(message_);
    binding_ = new QLabel(this);
    binding_->setWordWrap(true);
    binding_->setTextFormat(Qt::PlainText);
    binding_->hide();
    outer->addWidget(binding_);
    // A field of its own, whole on one line, to copy into the configuration.
    bindingLine_ = new QLineEdit(this);
    bindingLine_->setReadOnly(true);
    bindingLine_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    bindingLine_->hide();
    outer->addWidget(bindingLine_);
    connect(button_, &QPushButton::clicked, this, [this] {
        if (recording_)
            stopRecording();
        else
            startRecording();
    });
    connect(clear_, &QPushButton::clicked, this, [this] {
        if (set)
            set(std::nullopt);
        refresh();
    });
    refresh();
}

HotKeyRecorderView::~HotKeyRecorderView() {
    if (monitorInstalled_)
        qApp->removeEventFilter(this);
}

QString HotKeyRecorderView::displayText(const HotKey& hotKey) {
    QStringList parts;
    if (hotKey.modifiers.contains(HotKeyModifiers::control))
        parts << QCoreApplication::translate("QShortcut", "Ctrl");
    if (hotKey.modifiers.contains(HotKeyModifiers::option))
        parts << QCoreApplication::translate("QShortcut", "Alt");
    if (hotKey.modifiers.contains(HotKeyModifiers::shift))
        parts << QCoreApplication::translate("QShortcut", "Shift");
    if (hotKey.modifiers.contains(HotKeyModifiers::command))
        parts << QStringLiteral("Super");
    const QKeySequence key = StatusMenuController::keySequence(HotKey{hotKey.keyCode, {}});
    parts << (key.isEmpty() ? QStringLiteral("?") : key.toString(QKeySequence::NativeText));
    return parts.join('+');
}

std::string HotKeyRecorderView::refusalText(const HotKeyRefusal& refusal, bool recording) {
    const std::string shortcut = displayText(refusal.hotKey).toStdString();
    if (recording)
        return refusal.isTaken() ? L10n::Settings::HotKey::taken(shortcut)
                                 : L10n::Settings::HotKey::failed(shortcut);
    return refusal.isTaken() ? L10n::Settings::HotKey::takenNote(shortcut)
                             : L10n::Settings::HotKey::failedNote(shortcut);
}

void HotKeyRecorderView::refresh() {
    const std::optional<HotKey> hotKey = get ? get() : std::nullopt;
    if (recording_)
        button_->setText(QString::fromStdString(L10n::Settings::HotKey::recording()));
    else if (!hotKey)
        button_->setText(QString::fromStdString(L10n::Settings::HotKey::empty()));
    else
        button_->setText(displayText(*hotKey));
    clear_->setText(QString::fromStdString(L10n::Settings::HotKey::clearButton()));
    clear_->setVisible(hotKey.has_value() && !recording_);
    if (compositorBinding) {
        binding_->setText(QString::fromStdString(L10n::Settings::HotKey::compositorBinding()));
        bindingLine_->setText(QString::fromStdString(compositorBinding(hotKey)));
        bindingLine_->setCursorPosition(0);
        // Wide enough for the whole line where the window allows it.
        bindingLine_->setMinimumWidth(
            std::min(420, bindingLine_->fontMetrics().horizontalAdvance(bindingLine_->text()) + 16));
        binding_->show();
        bindingLine_->show();
    }
    if (recording_)
        return; // the line says why the last chord pressed was refused, if one was
    // The compositor's binding stands in for the shortcut the program could not take.
    const auto refused = refusal && !compositorBinding ? refusal() : std::nullopt;
    if (hotKey && refused && refused->hotKey == *hotKey) {
        message_->setText(QString::fromStdString(refusalText(*refused, false)));
        message_->show();
    } else {
        message_->hide();
    }
}

void HotKeyRecorderView::startRecording() {
    if (recording_)
        return;
    recording_ = true;
    qApp->installEventFilter(this);
    monitorInstalled_ = true;
    button_->setFocus();
    // The whole keyboard, so that a chord another program has taken comes here and not to it.
    button_->grabKeyboard();
    message_->hide();
    if (onRecordingChanged)
        onRecordingChanged(true);
    refresh();
}

void HotKeyRecorderView::stopRecording() {
    if (monitorInstalled_) {
        qApp->removeEventFilter(this);
        monitorInstalled_ = false;
    }
    if (!recording_)
        return;
    button_->releaseKeyboard();
    recording_ = false;
    if (onRecordingChanged)
        onRecordingChanged(false);
    refresh();
}

void HotKeyRecorderView::handle(std::uint32_t keyCode, std::uint64_t flags) {
    const HotKeyModifiers modifiers = HotKeyModifiers::fromEventFlags(flags);
    // Backspace clears; any other key without the modifiers a shortcut needs (Delete included)
    // is no shortcut and is ignored below.
    if (keyCode == backspaceKey) {
        message_->hide();
        if (set)
            set(std::nullopt);
        stopRecording();
        return;
    }
    if (keyCode == escapeKey) {
        message_->hide();
        stopRecording();
        return;
    }
    const HotKey hotKey{keyCode, modifiers};
    if (!hotKey.isValid())
        return;
    if (check) {
        if (auto why = check(hotKey)) {
            message_->setText(QString::fromStdString(*why));
            message_->show();
            return;
        }
    }
    message_->hide();
    if (set)
        set(hotKey);
    stopRecording();
}

bool HotKeyRecorderView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
        return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window()->objectName() != QLatin1String(settingsWindowName))
        return false; // other windows of the program keep their keys
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept(); // no window shortcut fires while recording
        return true;
    }
    auto* key = static_cast<QKeyEvent*>(event);
    const auto xKeycode = static_cast<std::uint8_t>(key->nativeScanCode());
    if (!KeyTranslation::isModifierKey(xKeycode)) {
        const auto keyCode = KeyTranslation::virtualKeyCode(xKeycode);
        const std::uint64_t flags =
            KeyTranslation::eventFlags(static_cast<std::uint16_t>(key->nativeModifiers()));
        if (keyCode)
            handle(*keyCode, flags);
    }
    return true;
}

void HotKeyRecorderView::hideEvent(QHideEvent* event) {
    stopRecording();
    QWidget::hideEvent(event);
}

} // namespace tolva
