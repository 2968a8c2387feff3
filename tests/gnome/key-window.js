// A plain GTK window for the GNOME tests: writes "active" (to its standard error, which is
// not buffered) once it has the keyboard focus, and
// "key NAME" for every key it gets, so a test sees whether keys reached another client.
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
    window.connect('notify::is-active', () => {
        if (window.is_active)
            printerr('active');
    });
    window.present();
});
app.run([]);
