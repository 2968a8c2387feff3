// The tray icon: two overlapping rounded squares, hatched while the overlay is on, with a dot
// for a warning and one for an available update. Drawn in one ink with a thin outline in the
// opposite tone, so it stays readable on light and on dark panels; where the icon theme
// provides the symbolic icons, the panel draws those in its own colour instead.
// Also the application icon of the windows.
#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPalette>
#include <QString>

namespace tolva::StatusIcon {

QImage image(bool masked, bool warning, bool update, QColor ink = Qt::black, int scale = 2);
// The ink that suits the palette's windows: their text colour; the outline takes the other tone.
QColor inkFor(const QPalette& palette);
// The themed symbolic icon for the state, when the icon theme has one.
QString symbolicName(bool masked, bool warning);
// Whether the icon theme holds an icon of exactly this name that Qt can draw.
bool themeHasIcon(const QString& name);
QIcon trayIcon(bool masked, bool warning, bool update, const QPalette& palette);
QString accessibilityDescription(bool masked);
// "Tolva Screen", followed by the state when the overlay is on or cannot be turned on.
QString toolTip(bool masked, const std::optional<std::string>& blockedReason);

// The application icon (the installed theme icon, else the same drawing made here).
QIcon applicationIcon();

} // namespace tolva::StatusIcon
