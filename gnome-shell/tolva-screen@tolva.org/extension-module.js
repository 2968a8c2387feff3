// Entry of the extension for GNOME Shell 45 and later (ES modules): hands the Shell's libraries
// to the shared core, which the build turns into a module by exporting its class.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import GObject from 'gi://GObject';
import Clutter from 'gi://Clutter';
import Cogl from 'gi://Cogl';
import St from 'gi://St';
import Shell from 'gi://Shell';
import Meta from 'gi://Meta';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

import {TolvaScreenShell} from './core.js';

// Kept across disable and enable: a cover outlives the extension being switched off.
let service = null;

export default class TolvaScreenExtension extends Extension {
    enable() {
        if (!service) {
            const lib = {Gio, GLib, GObject, Clutter, Cogl, St, Shell, Meta, Main, global};
            service = new TolvaScreenShell(lib, this.getSettings());
        }
        service.start();
    }

    disable() {
        if (service && service.stop())
            service = null;
    }
}
