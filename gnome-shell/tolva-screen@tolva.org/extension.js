// Entry of the extension for GNOME Shell 43 and 44 (legacy imports): hands the Shell's
// libraries to the shared core. The ES-module entry for 45 and later is extension-module.js.
/* exported init */

const {Gio, GLib, GObject, Clutter, Cogl, St, Shell, Meta} = imports.gi;
const Main = imports.ui.main;
const ExtensionUtils = imports.misc.extensionUtils;
const {TolvaScreenShell} = ExtensionUtils.getCurrentExtension().imports.core;

// Kept across disable and enable: a cover outlives the extension being switched off.
let service = null;

class Extension {
    enable() {
        if (!service) {
            const lib = {Gio, GLib, GObject, Clutter, Cogl, St, Shell, Meta, Main, global};
            service = new TolvaScreenShell(lib, ExtensionUtils.getSettings());
        }
        service.start();
    }

    disable() {
        if (service && service.stop())
            service = null;
    }
}

function init() {
    return new Extension();
}
