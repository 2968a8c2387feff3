// A plain GTK window for the GNOME tests, maximised on its monitor: writes "active" and
// "inactive" (to its standard error, which is not buffered) as it gets and loses the keyboard
// focus, "key NAME" for every key and "click" for every click it gets, so a test sees whether
// keys or clicks reached another client.
imports.gi.versions.Gtk = '4.0';
const {Gtk, Gdk, GLib} = imports.gi;

const app = new Gtk.Application({application_id: 'org.tolva.Screen.TestKeyWindow'});
app.connect('activate', () => {
    const window = new Gtk.ApplicationWindow({application: app, title: 'key window', default_width: 400,
        default_height: 300});
    const keys = new Gtk.EventControllerKey();
    keys.connect('key-pressed', (controller, keyval) => {
        // Shift is what the tests press to bring a keyboard to the seat: not counted.
        if (Gdk.keyval_name(keyval).startsWith('Shift'))
            return false;
        printerr(`key ${Gdk.keyval_name(keyval)}`);
        return true;
    });
    window.add_controller(keys);
    const clicks = new Gtk.GestureClick();
    clicks.connect('pressed', () => printerr('click'));
    window.add_controller(clicks);
    window.connect('notify::is-active', () => printerr(window.is_active ? 'active' : 'inactive'));
    window.maximize();
    window.present();
});
app.run([]);
