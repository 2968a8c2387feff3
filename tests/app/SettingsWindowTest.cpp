// The settings window on Qt's offscreen platform: opening on a tab, placement, and each tab's
// rows and the rules of which of them show.
#include "TolvaCore/L10n.h"
#include "app/LaunchAtLogin.h"
#include "overlay/ImageStore.h"
#include "support/SettingsRig.h"
#include "unlock/PinSetupSheet.h"

#include <QAbstractButton>
#include <QDir>
#include <QImageReader>
#include <QPushButton>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

using namespace tolva;
using namespace tolva::test;

namespace {

struct Window : SettingsRig {
    std::shared_ptr<FakeDisplays> screens = std::make_shared<FakeDisplays>();
    std::unique_ptr<SettingsWindowController> settings;

    Window() {
        SettingsWindowController::initialTab = SettingsTab::general;
        settings = std::make_unique<SettingsWindowController>(environment(), screens);
    }
    ~Window() {
        OverlayColorWell::hidePanel();
        settings.reset();
    }
    SettingsView& view() { return *settings->view(); }
    const SettingsView::Display& display() { return view().display(); }
    // Shown in the window (the row and everything around it).
    bool shows(QWidget* w) { return w->isVisibleTo(settings->window()); }
    void pickMode(OverlayContentMode mode) {
        QComboBox* combo = display().mode;
        const int index = combo->findData(int(mode));
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
};

} // namespace

TEST(SettingsWindow, OpensOnATabSwitchesWhileOpenAndHidesOnClose) {
    Window w;
    w.settings->show(std::nullopt, SettingsTab::display);
    AppPanel* panel = w.settings->window();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->objectName(), "tolva.settings");
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->isOpen);
    EXPECT_TRUE(DockPresence::isOn());
    EXPECT_EQ(w.view().tab(), SettingsTab::display);
    EXPECT_EQ(panel->windowTitle(), "Tolva Screen — Overlay");
    EXPECT_EQ(w.view().sidebar()->width(), 236);
    EXPECT_EQ(w.view().sidebar()->count(), 5);
    EXPECT_EQ(w.view().sidebar()->item(1)->text(), "Overlay");

    w.settings->show(std::nullopt, SettingsTab::security);
    EXPECT_EQ(w.settings->window(), panel) << "one window, reused";
    EXPECT_EQ(w.view().tab(), SettingsTab::security);
    EXPECT_EQ(panel->windowTitle(), "Tolva Screen — Security");
    w.view().sidebar()->setCurrentRow(4);
    EXPECT_EQ(w.settings->currentTab(), SettingsTab::about);
    EXPECT_EQ(panel->windowTitle(), "Tolva Screen — About");

    // The title and the rows follow the language.
    Localization::shared().setOverride(AppLanguage::de);
    processEvents();
    EXPECT_EQ(panel->windowTitle(), "Tolva Screen — Über");
    EXPECT_EQ(w.view().sidebar()->item(0)->text(), "Allgemein");
    EXPECT_EQ(w.view().tab(), SettingsTab::about) << "the rebuilt view stays on its tab";
    Localization::shared().setOverride(AppLanguage::en);
    processEvents();
    EXPECT_EQ(panel->windowTitle(), "Tolva Screen — About");

    w.settings->close();
    EXPECT_FALSE(panel->isVisible());
    EXPECT_FALSE(panel->isOpen);
    EXPECT_FALSE(DockPresence::isOn());
    w.settings->show();
    EXPECT_EQ(w.settings->window(), panel);
    EXPECT_EQ(w.view().tab(), SettingsTab::about) << "without a tab it opens where it was";
    w.settings->close();
}

TEST(SettingsWindow, PlacementIsSavedOnlyAfterTheUserMovedIt) {
    Window w;
    w.settings->show();
    processEvents();
    // Centred on the primary display: x at half, a quarter of the free height above.
    EXPECT_EQ(w.settings->window()->geometry(), QRect(510, 108, 900, 648));
    EXPECT_EQ(w.prefs->settingsWindowPlacement(), std::nullopt) << "our own placement is not remembered";
    w.settings->show(std::nullopt, SettingsTab::display);
    processEvents();
    EXPECT_EQ(w.prefs->settingsWindowPlacement(), std::nullopt) << "nor is re-opening";

    // The user drags it onto the right display.
    w.settings->window()->move(2100, 200);
    processEvents();
    const QRect moved = w.settings->window()->geometry();
    ASSERT_EQ(moved.size(), QSize(900, 648));
    auto saved = w.prefs->settingsWindowPlacement();
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->screenID, 2u);
    EXPECT_EQ(saved->frame, (Rect{double(moved.x()), double(1080 - moved.y() - 648), 900, 648}));
    EXPECT_EQ(saved->visibleFrame, (Rect{1920, 0, 1920, 1080}));

    // Next time it comes back there, and that is not a new save.
    w.settings->close();
    w.prefs->setSettingsWindowPlacement(std::nullopt);
    w.prefs->setSettingsWindowPlacement(saved);
    int writes = 0;
    auto observation = w.prefs->observe(Preferences::Property::settingsWindowPlacement, [&] { ++writes; });
    w.settings->show();
    processEvents();
    EXPECT_EQ(w.settings->window()->geometry(), moved);
    EXPECT_EQ(writes, 0);
    w.settings->close();

    // Its display is gone: the same distances on the display the window was on, clamped.
    w.screens->list.pop_back();
    w.settings->show();
    processEvents();
    EXPECT_EQ(w.settings->window()->geometry(), moved.translated(-1920, 0));
    EXPECT_EQ(writes, 0);
    w.settings->close();

    // Asked for a display: it opens there.
    w.screens->list.push_back({2, QRect(1920, 0, 1920, 1080), nullptr, false});
    w.prefs->setSettingsWindowPlacement(std::nullopt);
    w.settings->show(2u);
    processEvents();
    EXPECT_EQ(w.settings->window()->geometry(), QRect(1920 + 510, 108, 900, 648));
    w.settings->close();
}

TEST(SettingsWindow, OverlayTabRowsFollowTheMode) {
    Window w;
    w.settings->show(std::nullopt, SettingsTab::display);
    auto& d = w.display();
    // Transparent overlay (the default): colour and opacity, no image.
    EXPECT_EQ(d.mode->currentText(), "Transparent Overlay");
    EXPECT_EQ(d.mode->count(), 4);
    EXPECT_EQ(d.colorTitle->text(), "Overlay Color");
    EXPECT_TRUE(w.shows(d.opacityRow));
    EXPECT_FALSE(w.shows(d.imageRow));
    EXPECT_FALSE(w.shows(d.screenRecordingRow));

    w.pickMode(OverlayContentMode::snapshot);
    EXPECT_EQ(w.prefs->overlayContentMode(), OverlayContentMode::snapshot);
    EXPECT_EQ(d.modeDetail->text().toStdString(), OverlayContentMode(OverlayContentMode::snapshot).detail());
    EXPECT_EQ(d.colorTitle->text(), "Background Color");
    EXPECT_FALSE(w.shows(d.opacityRow));
    EXPECT_TRUE(w.shows(d.imageRow));
    EXPECT_EQ(d.imageTitle->text(), "Fallback Image");
    EXPECT_EQ(d.imageHint->text(),
              "Shown when a snapshot isn’t available, and on displays connected while the overlay is on.");
    EXPECT_EQ(d.imageThumbnail->text(), "No image");
    EXPECT_FALSE(d.removeImage->isEnabled());
    EXPECT_FALSE(w.shows(d.screenRecordingRow)) << "capture is allowed";

    // From snapshot back to the transparent overlay: "Overlay Color" and "Opacity", no image row.
    w.pickMode(OverlayContentMode::liveTint);
    EXPECT_EQ(d.colorTitle->text(), "Overlay Color");
    EXPECT_TRUE(w.shows(d.opacityRow));
    EXPECT_FALSE(w.shows(d.imageRow));

    w.pickMode(OverlayContentMode::image);
    EXPECT_EQ(d.imageTitle->text(), "Custom Image");
    EXPECT_EQ(d.imageHint->text(), "Scaled to fill each display; anything past the edges is cropped.");
    w.pickMode(OverlayContentMode::solidColor);
    EXPECT_FALSE(w.shows(d.imageRow));
    EXPECT_FALSE(w.shows(d.opacityRow));
    EXPECT_EQ(d.colorTitle->text(), "Background Color");

    // Without screen capture, snapshot mode says so; the row offers nothing that cannot work.
    w.captureAllowed = false;
    w.pickMode(OverlayContentMode::snapshot);
    EXPECT_TRUE(w.shows(d.screenRecordingRow));
    EXPECT_TRUE(d.screenRecordingRow->findChildren<QPushButton*>().empty());
    // It re-reads the permission once a second while the tab is shown.
    w.captureAllowed = true;
    w.scheduler.advance(Seconds(1));
    EXPECT_FALSE(w.shows(d.screenRecordingRow));

    // Opacity: the slider writes the rounded value and shows it.
    w.pickMode(OverlayContentMode::liveTint);
    d.opacity->setValue(25);
    EXPECT_DOUBLE_EQ(w.prefs->liveTintOpacity(), 0.25);
    EXPECT_EQ(d.opacityValue->text(), "25 %");
    w.settings->close();
}

TEST(SettingsWindow, MotionAndAwayNoteRows) {
    Window w;
    w.settings->show(std::nullopt, SettingsTab::display);
    auto& d = w.display();
    // Pixel shift does nothing on a tint or a plain colour: disabled, with the note.
    EXPECT_FALSE(d.effects[0]->isEnabled());
    EXPECT_TRUE(w.shows(d.pixelShiftNote));
    EXPECT_EQ(d.pixelShiftNote->text(), "It has no effect in Solid Color or Transparent Overlay mode.");
    EXPECT_FALSE(w.shows(d.motionPreviewHint)) << "nothing of the chosen motion applies to a tint";
    w.pickMode(OverlayContentMode::snapshot);
    EXPECT_TRUE(d.effects[0]->isEnabled());
    EXPECT_FALSE(w.shows(d.pixelShiftNote));
    EXPECT_TRUE(w.shows(d.motionPreviewHint));
    EXPECT_EQ(d.motionPreviewHint->text(),
              "The preview runs faster than real use. The amount of movement is the same.");

    d.effects[1]->click(); // breathing on
    EXPECT_EQ(w.prefs->animations(),
              (OverlayAnimationSet{OverlayAnimation::pixelShift, OverlayAnimation::breathing}));
    EXPECT_EQ(d.preview->view()->activeAnimations(), w.prefs->animations()) << "the preview follows at once";
    d.effects[0]->click(); // pixel shift off
    EXPECT_EQ(w.prefs->animations(), OverlayAnimationSet{OverlayAnimation::breathing});
    d.strength->button(2)->click();
    EXPECT_EQ(w.prefs->animationStrength(), AnimationStrength::strong);
    EXPECT_DOUBLE_EQ(d.preview->view()->timings().breathingOneWay.value_or(0), 0.5);

    d.motion->click(); // all motion off
    EXPECT_FALSE(w.prefs->animationsEnabled());
    EXPECT_FALSE(d.effects[1]->isEnabled());
    for (QAbstractButton* button : d.strength->buttons())
        EXPECT_FALSE(button->isEnabled()) << "no strength for motion that is off";
    EXPECT_TRUE(d.preview->view()->activeAnimations().empty());
    EXPECT_FALSE(w.shows(d.motionPreviewHint));
    d.motion->click();
    EXPECT_TRUE(d.strength->button(0)->isEnabled());

    EXPECT_FALSE(w.shows(d.reduceMotionWarning));
    w.reduceMotion = true;
    w.scheduler.advance(Seconds(1));
    EXPECT_TRUE(w.shows(d.reduceMotionWarning));
    EXPECT_TRUE(d.preview->view()->activeAnimations().empty()) << "Reduce Motion stills the preview";
    EXPECT_FALSE(w.shows(d.motionPreviewHint));

    // Away note.
    EXPECT_EQ(d.awayNoteText->placeholderText(), "Back soon");
    d.awayNote->click();
    EXPECT_TRUE(w.prefs->awayNoteEnabled());
    d.awayNoteText->setFocus();
    d.awayNoteText->setText("  Out for lunch  ");
    emit d.awayNoteText->textEdited(d.awayNoteText->text());
    EXPECT_EQ(w.prefs->awayNoteText(), "Out for lunch");
    EXPECT_EQ(d.preview->view()->awayNote()->model()->text, "Out for lunch");
    d.awayNoteStyle->button(1)->click();
    EXPECT_EQ(w.prefs->awayNoteStyle(), AwayNoteStyle::stickyNote);
    d.returnTime->click();
    EXPECT_FALSE(w.prefs->awayNoteShowsReturnTime());
    EXPECT_EQ(d.preview->view()->awayNote()->model()->returnLine, std::nullopt);
    w.settings->close();
}

TEST(SettingsWindow, ImageChooseFailAndRemove) {
    Window w;
    w.prefs->setOverlayContentMode(OverlayContentMode::image);
    w.settings->show(std::nullopt, SettingsTab::display);
    auto& d = w.display();
    const auto folder = std::filesystem::path(std::getenv("HOME"));
    // Not a picture: refused with the reason, the preference untouched.
    { std::ofstream(folder / "notes.png") << "not a picture"; }
    w.pickedFile = folder / "notes.png";
    d.chooseImage->click();
    EXPECT_TRUE(w.shows(d.importFailure));
    EXPECT_TRUE(d.importFailure->text().startsWith("Couldn’t import: "))
        << d.importFailure->text().toStdString();
    EXPECT_EQ(w.prefs->overlayImageFileName(), std::nullopt);

    QImage picture(64, 36, QImage::Format_RGB32);
    picture.fill(Qt::red);
    ASSERT_TRUE(picture.save(QString::fromStdString((folder / "red.png").string())));
    w.pickedFile = folder / "red.png";
    d.chooseImage->click();
    auto stored = w.prefs->overlayImageFileName();
    ASSERT_TRUE(stored.has_value());
    EXPECT_TRUE(std::filesystem::exists(ImageStore::directory() / *stored));
    EXPECT_FALSE(w.shows(d.importFailure));
    EXPECT_FALSE(d.imageThumbnail->pixmap().isNull()) << "a thumbnail of it";
    EXPECT_TRUE(d.removeImage->isEnabled());
    EXPECT_EQ(d.preview->view()->hasPicture(), true);

    // Cancelling the file dialog changes nothing.
    w.pickedFile.reset();
    d.chooseImage->click();
    EXPECT_EQ(w.prefs->overlayImageFileName(), stored);

    d.removeImage->click();
    EXPECT_EQ(w.prefs->overlayImageFileName(), std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(ImageStore::directory() / *stored));
    EXPECT_EQ(d.imageThumbnail->text(), "No image");
    EXPECT_FALSE(d.preview->view()->hasPicture());
    w.settings->close();
}

TEST(SettingsWindow, PickersOfferWhatLoadsAndKeepTheWindowInSight) {
    Window w;
    // The image picker offers exactly the formats this Qt reads, and opens in the Pictures folder.
    const QString filter = SettingsView::imageFilter();
    EXPECT_TRUE(filter.startsWith("Images (")) << filter.toStdString();
    for (const QByteArray& format : QImageReader::supportedImageFormats())
        EXPECT_TRUE(filter.contains(" *." + QString::fromLatin1(format)) ||
                    filter.contains("(*." + QString::fromLatin1(format)))
            << format.toStdString();
    const bool heicReadable = QImageReader::supportedImageFormats().contains("heic");
    EXPECT_EQ(filter.contains("*.heic"), heicReadable) << "nothing offered that cannot load";
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    ASSERT_TRUE(QDir().mkpath(pictures));
    EXPECT_EQ(SettingsView::imageFolder(), pictures);

    // The colour dialog: OK and Cancel, every pick shown at once, Cancel goes back.
    w.settings->show(std::nullopt, SettingsTab::display);
    OverlayColorWell* well = w.display().color;
    const SRGBColor before = w.prefs->overlayColor();
    well->activate();
    QColorDialog* dialog = OverlayColorWell::sharedPanel();
    ASSERT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->testOption(QColorDialog::NoButtons)) << "OK and Cancel";
    dialog->setCurrentColor(QColor(200, 30, 30));
    EXPECT_EQ(w.prefs->overlayColor(), SRGBColor(200 / 255.0, 30 / 255.0, 30 / 255.0)) << "shown at once";
    dialog->reject();
    EXPECT_EQ(w.prefs->overlayColor(), before) << "Cancel puts the old colour back";
    well->activate();
    dialog->setCurrentColor(QColor(30, 200, 30));
    dialog->accept();
    EXPECT_EQ(w.prefs->overlayColor(), SRGBColor(30 / 255.0, 200 / 255.0, 30 / 255.0)) << "OK keeps it";
    dialog->setCurrentColor(QColor(1, 2, 3));
    EXPECT_EQ(w.prefs->overlayColor(), SRGBColor(30 / 255.0, 200 / 255.0, 30 / 255.0))
        << "a closed dialog writes nothing";
    w.settings->close();
}

TEST(SettingsWindow, ButtonLabelsKeepClearOfTheirBorders) {
    Window w;
    for (AppLanguage language : {AppLanguage::en, AppLanguage::de, AppLanguage::ja}) {
        Localization::shared().setOverride(language);
        processEvents();
        for (SettingsTab tab : allSettingsTabs) {
            w.settings->show(std::nullopt, tab);
            processEvents();
            for (QPushButton* button : w.view().page(tab)->findChildren<QPushButton*>()) {
                if (!button->isVisibleTo(w.settings->window()) || button->text().isEmpty())
                    continue;
                EXPECT_GE(button->width(), button->fontMetrics().horizontalAdvance(button->text()) + 24)
                    << std::string(language.rawValue()) << ": " << button->text().toStdString();
            }
        }
    }
    Localization::shared().setOverride(AppLanguage::en);
    processEvents();
    w.settings->close();
}

TEST(SettingsWindow, GeneralTab) {
    Window w;
    w.settings->show(std::nullopt, SettingsTab::general);
    auto& g = w.view().general();
    ASSERT_EQ(g.idle->count(), 6);
    EXPECT_EQ(g.idle->itemText(0), "Off");
    EXPECT_EQ(g.idle->itemText(1), "5 minutes");
    g.idle->setCurrentIndex(3);
    emit g.idle->activated(3);
    EXPECT_EQ(w.prefs->idleTimeoutSeconds(), 1200);
    ASSERT_EQ(g.keepAwake->count(), 4);
    EXPECT_EQ(g.keepAwake->currentText(), "1 hour");
    g.keepAwake->setCurrentIndex(3);
    emit g.keepAwake->activated(3);
    EXPECT_EQ(w.prefs->keepAwakeSeconds(), 14400);
    g.lockSystemOnExpiry->click();
    EXPECT_TRUE(w.prefs->lockSystemOnExpiry());
    EXPECT_EQ(g.hotKey->button()->text(), "Click to Record");

    // A preferences file changed behind the window's back shows when it is opened again.
    w.settings->close();
    w.prefs->setIdleTimeoutSeconds(600);
    w.settings->show();
    EXPECT_EQ(g.idle->currentText(), "10 minutes");

    // Open at login: the autostart entry.
    EXPECT_FALSE(g.launchAtLogin->isChecked());
    g.launchAtLogin->click();
    EXPECT_TRUE(LaunchAtLogin::isEnabled());
    EXPECT_TRUE(g.launchAtLogin->isChecked());
    g.launchAtLogin->click();
    EXPECT_FALSE(LaunchAtLogin::isEnabled());
    // A folder that cannot hold the entry: the reason shows and the switch goes back.
    const auto autostart = LaunchAtLogin::entryPath().parent_path();
    std::filesystem::remove_all(autostart);
    { std::ofstream(autostart) << "a file where the folder should be"; }
    g.launchAtLogin->click();
    EXPECT_FALSE(g.launchAtLogin->isChecked());
    EXPECT_TRUE(w.shows(g.launchFailure));
    EXPECT_FALSE(g.launchFailure->text().isEmpty());
    std::filesystem::remove(autostart);
    g.launchAtLogin->click();
    EXPECT_TRUE(g.launchAtLogin->isChecked());
    EXPECT_FALSE(w.shows(g.launchFailure));
    g.launchAtLogin->click();

    // The language picker: the system first, then every language by its own name.
    ASSERT_EQ(g.language->count(), 8);
    EXPECT_EQ(g.language->itemText(0), "System Language");
    EXPECT_EQ(g.language->currentIndex(), g.language->findData(QStringLiteral("en")));
    const int german = g.language->findData(QStringLiteral("de"));
    g.language->setCurrentIndex(german);
    emit g.language->activated(german);
    processEvents();
    EXPECT_EQ(w.prefs->appLanguage(), AppLanguage::de);
    EXPECT_EQ(w.view().general().language->currentIndex(), german);
    EXPECT_EQ(w.settings->window()->windowTitle(), "Tolva Screen — Allgemein");
    w.settings->close();
}

TEST(SettingsWindow, SecurityTab) {
    Window w;
    w.pins->remove();
    w.authenticator->reload();
    w.settings->show(std::nullopt, SettingsTab::security);
    auto& s = w.view().security();
    EXPECT_EQ(s.pinState->text(), "Not set");
    EXPECT_EQ(s.pinButton->text(), "Set PIN…");
    s.pinButton->click();
    PinSetupSheet* sheet = w.view().pinSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isVisible());
    sheet->editor()->newField()->setText("135790");
    sheet->editor()->confirmField()->setText("135790");
    ASSERT_TRUE(sheet->save());
    processEvents();
    EXPECT_EQ(s.pinState->text(), "Set (6 digits)");
    EXPECT_EQ(s.pinButton->text(), "Change PIN…");
    EXPECT_TRUE(w.controller->pinConfigured()) << "the controller knows at once";
    EXPECT_TRUE(w.shows(s.pinNotice));
    EXPECT_EQ(s.pinNotice->text(), "Your PIN is set.") << "a save says so";

    // Changing it: a wrong current PIN is said, and typed again from its own field.
    s.pinButton->click();
    sheet = w.view().pinSheet();
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(sheet->editor()->requireCurrent());
    sheet->editor()->currentField()->setText("111111");
    sheet->editor()->newField()->setText("2468");
    sheet->editor()->confirmField()->setText("2468");
    sheet->editor()->confirmField()->setFocus();
    EXPECT_FALSE(sheet->save());
    EXPECT_EQ(sheet->errorLabel()->text(), "Current PIN is incorrect");
    EXPECT_EQ(sheet->focusWidget(), sheet->editor()->currentField()) << "focus back on the first field";
    EXPECT_EQ(sheet->editor()->currentField()->selectedText(), "111111") << "selected, to be typed over";
    sheet->editor()->currentField()->setText("135790");
    ASSERT_TRUE(sheet->save());
    processEvents();
    EXPECT_EQ(s.pinState->text(), "Set (4 digits)");
    EXPECT_EQ(s.pinNotice->text(), "Your PIN was changed.");
    // A sheet cancelled says nothing new, and the note goes with the window.
    w.settings->close();
    w.settings->show(std::nullopt, SettingsTab::security);
    EXPECT_FALSE(w.shows(s.pinNotice));
    s.pinButton->click();
    w.view().pinSheet()->reject();
    processEvents();
    EXPECT_FALSE(w.shows(s.pinNotice));

    EXPECT_TRUE(s.loginPassword->isChecked());
    s.loginPassword->click();
    EXPECT_FALSE(w.prefs->allowLoginPasswordUnlock());

    // No fingerprint reader: the switch is off-limits, shown off, and says why.
    EXPECT_FALSE(s.touchID->isEnabled());
    EXPECT_FALSE(s.touchID->isChecked()) << "a disabled switch is not drawn on";
    EXPECT_TRUE(w.prefs->touchIDEnabled()) << "the choice itself is kept for a reader plugged in later";
    EXPECT_TRUE(w.shows(s.touchIDUnavailable));
    EXPECT_EQ(s.touchIDUnavailable->text(), "This computer has no fingerprint reader.");
    w.settings->close();
    w.fingerprint = true;
    w.settings->show();
    EXPECT_TRUE(s.touchID->isEnabled());
    EXPECT_FALSE(w.shows(s.touchIDUnavailable));
    s.touchID->click();
    EXPECT_FALSE(w.prefs->touchIDEnabled());
    w.settings->close();
}

TEST(SettingsWindow, PermissionsTabSaysWhatIsTrueAndPolls) {
    Window w;
    w.settings->show(std::nullopt, SettingsTab::permissions);
    auto& p = w.view().permissions();
    EXPECT_EQ(p.keyboardState->text(), "✓ Available");
    EXPECT_EQ(p.screenCaptureState->text(), "✓ Available");
    for (auto* button : w.view().page(SettingsTab::permissions)->findChildren<QAbstractButton*>())
        ADD_FAILURE() << "a button that cannot do anything: " << button->text().toStdString();
    EXPECT_TRUE(w.view().isPolling());

    w.trusted = false; // keyboard blocking is not possible in this session any more
    w.captureAllowed = false;
    w.scheduler.advance(Seconds(1));
    EXPECT_FALSE(w.controller->accessibilityGranted()) << "the tab refreshes the capabilities";
    EXPECT_EQ(p.keyboardState->text(), "⚠ Not available");
    EXPECT_EQ(p.screenCaptureState->text(), "⚠ Not available");
    EXPECT_FALSE(w.shows(p.coverBlocked)) << "nothing to do on a session that simply lacks it";

    // GNOME without the extension: the step that makes it work, as the refused lock says it.
    w.shellExtensionOff = true;
    w.scheduler.advance(Seconds(1));
    EXPECT_TRUE(w.shows(p.coverBlocked));
    EXPECT_EQ(p.coverBlocked->text(), "Tolva Screen’s GNOME Shell extension is off. Turn it on with "
                                      "“gnome-extensions enable tolva-screen@tolva.org”, then log out and back in.");
    EXPECT_EQ(p.coverBlocked->text().toStdString(), w.controller->lockBlockedReason());
    w.trusted = true;
    w.scheduler.advance(Seconds(1));
    EXPECT_FALSE(w.shows(p.coverBlocked)) << "gone once the cover is there";

    w.view().setTab(SettingsTab::general);
    EXPECT_FALSE(w.view().isPolling()) << "only while the tab is shown";
    w.view().setTab(SettingsTab::display);
    EXPECT_TRUE(w.view().isPolling());
    w.settings->close();
    EXPECT_FALSE(w.view().isPolling());
}

TEST(SettingsWindow, AboutTabAndTheUpdatesHook) {
    Window w;
    w.settings->show(std::nullopt, SettingsTab::about);
    auto& a = w.view().about();
    EXPECT_EQ(a.name->text(), "Tolva Screen");
    EXPECT_TRUE(std::regex_match(a.version->text().toStdString(), std::regex(R"(\S+ \(\S+\))")));
    EXPECT_EQ(a.tagline->text(), "Privacy overlay · Runs entirely on this computer");
    EXPECT_FALSE(a.check->isEnabled());
    EXPECT_FALSE(a.autoCheck->isEnabled());
    EXPECT_EQ(a.updateStatus->text(), "Updates are not available in this version.");

    // The updater wires itself in while the window is open.
    bool automatic = true;
    int checks = 0;
    auto updates = std::make_shared<UpdateControls>();
    updates->automaticallyChecks = [&] { return automatic; };
    updates->setAutomaticallyChecks = [&](bool on) { automatic = on; };
    updates->canCheckForUpdates = [] { return true; };
    updates->checkForUpdates = [&] { ++checks; };
    updates->lastCheckedLine = [] { return std::optional<std::string>("Last checked today"); };
    w.settings->setUpdateControls(updates);
    EXPECT_TRUE(a.autoCheck->isEnabled());
    EXPECT_TRUE(a.autoCheck->isChecked());
    a.autoCheck->click();
    EXPECT_FALSE(automatic);
    a.check->click();
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(a.updateStatus->text(), "Last checked today");
    w.settings->close();
}
