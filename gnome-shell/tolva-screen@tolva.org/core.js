// The Shell side of Tolva Screen's cover on GNOME: a full-screen actor above everything else in
// the Shell's stage, holding the keyboard and pointer through a modal grab, shown and ended only
// on request of the program that owns the name org.tolva.Screen on the session bus. The
// extension draws and holds; the program decides. Keys and clicks that reach the cover go to
// that program as signals addressed to it alone.
//
// Written once for both kinds of GNOME Shell: the libraries come in as arguments, and the two
// entry files (legacy imports up to 44, ES modules from 45) hand them over.

/* exported TolvaScreenShell */

var TolvaScreenShell = class TolvaScreenShell {
    static get busName() {
        return 'org.tolva.Screen.Shell';
    }

    static get objectPath() {
        return '/org/tolva/Screen/Shell';
    }

    static get programName() {
        return 'org.tolva.Screen';
    }

    // 2: the content may ask for the breathing (breathingDepth, breathingPeriod).
    // 3: the picture may be a sheet of parts (tiles, notes) whose tiles ShiftPictures moves, and
    //    ShowGradients lays a gradient over each tile.
    static get version() {
        return 3;
    }

    static get interfaceXml() {
        return `<node>
  <interface name="org.tolva.Screen.Shell">
    <method name="Cover">
      <arg type="a{sv}" name="content" direction="in"/>
    </method>
    <method name="CoverWithPicture">
      <arg type="a{sv}" name="content" direction="in"/>
      <arg type="h" name="picture" direction="in"/>
    </method>
    <method name="ShowPanel">
      <arg type="h" name="bitmap" direction="in"/>
      <arg type="i" name="x" direction="in"/>
      <arg type="i" name="y" direction="in"/>
      <arg type="u" name="width" direction="in"/>
      <arg type="u" name="height" direction="in"/>
      <arg type="u" name="stride" direction="in"/>
    </method>
    <method name="HidePanel"/>
    <method name="ShiftPictures">
      <arg type="ai" name="offsets" direction="in"/>
    </method>
    <method name="ShowGradients">
      <arg type="h" name="picture" direction="in"/>
      <arg type="a{sv}" name="layout" direction="in"/>
    </method>
    <method name="Snapshot">
      <arg type="a(iiiiay)" name="monitors" direction="out"/>
    </method>
    <method name="Uncover"/>
    <method name="SetLockShortcut">
      <arg type="s" name="accelerator" direction="in"/>
    </method>
    <property name="Version" type="u" access="read"/>
    <property name="Covered" type="b" access="read"/>
    <property name="Monitors" type="a(iiiib)" access="read"/>
    <signal name="Key">
      <arg type="u" name="keysym"/>
      <arg type="u" name="keycode"/>
      <arg type="u" name="modifiers"/>
      <arg type="b" name="pressed"/>
      <arg type="s" name="text"/>
    </signal>
    <signal name="Pointer">
      <arg type="s" name="kind"/>
      <arg type="d" name="x"/>
      <arg type="d" name="y"/>
      <arg type="u" name="button"/>
    </signal>
    <signal name="MonitorsChanged"/>
  </interface>
</node>`;
    }

    // `lib` holds Gio, GLib, GObject, Clutter, Cogl, St, Shell, Meta, Main and `global`; `settings` is
    // the extension's own GSettings (the lock shortcut).
    constructor(lib, settings) {
        this._lib = lib;
        this._settings = settings;
        this._cover = null;
        this._picture = null;
        this._dim = null;
        this._tiles = [];
        this._panel = null;
        this._grab = null;
        this._owner = null;
        this._signals = [];
        this._exported = null;
        this._nameId = 0;
        this._watchId = 0;
        this._shortcutAdded = false;
        this._stopWhenUncovered = false;
        this._holdAgainId = 0;
        this._startId = 0;
        this._programRunning = false;
    }

    // Puts the interface on the bus and the lock shortcut in place.
    start() {
        const {Gio, Shell, Meta, Main} = this._lib;
        this._stopWhenUncovered = false;
        if (!this._exported) {
            this._exported = Gio.DBusExportedObject.wrapJSObject(TolvaScreenShell.interfaceXml, this);
            this._exported.export(Gio.DBus.session, TolvaScreenShell.objectPath);
            this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, TolvaScreenShell.busName,
                Gio.BusNameOwnerFlags.NONE, null, null);
            // A program that goes away leaves the cover where it is; its panel, showing what was
            // typed into it, goes.
            this._watchId = Gio.bus_watch_name_on_connection(Gio.DBus.session,
                TolvaScreenShell.programName, Gio.BusNameWatcherFlags.NONE,
                (connection, name, owner) => this._programAppeared(owner),
                () => this._programVanished());
        }
        if (this._settings && !this._shortcutAdded) {
            Main.wm.addKeybinding('lock-shortcut', this._settings, Meta.KeyBindingFlags.IGNORE_AUTOREPEAT,
                Shell.ActionMode.NORMAL | Shell.ActionMode.OVERVIEW | Shell.ActionMode.POPUP,
                () => this._askProgramToLock());
            this._shortcutAdded = true;
        }
    }

    // The opposite of start(), unless covered: a cover outlives the extension being switched
    // off, and only the program's Uncover ends it (and then the rest of the stop). True when
    // stopped now.
    stop() {
        const {Gio, Main} = this._lib;
        if (this._shortcutAdded) {
            Main.wm.removeKeybinding('lock-shortcut');
            this._shortcutAdded = false;
        }
        if (this._cover) {
            this._stopWhenUncovered = true;
            return false;
        }
        if (this._watchId)
            Gio.bus_unwatch_name(this._watchId);
        if (this._nameId)
            Gio.bus_unown_name(this._nameId);
        if (this._exported)
            this._exported.unexport();
        this._watchId = this._nameId = 0;
        this._exported = null;
        return true;
    }

    get isCovered() {
        return this._cover !== null;
    }

    // D-Bus properties.
    get Version() {
        return TolvaScreenShell.version;
    }

    get Covered() {
        return this.isCovered;
    }

    get Monitors() {
        const {Main} = this._lib;
        return Main.layoutManager.monitors.map(
            m => [m.x, m.y, m.width, m.height, m.index === Main.layoutManager.primaryIndex]);
    }

    // D-Bus methods: each one first checks that the caller is the program.
    CoverAsync(params, invocation) {
        this._fromProgram(invocation, () => {
            const [content] = params;
            this._coverWith(this._unpack(content), null);
        });
    }

    CoverWithPictureAsync(params, invocation) {
        this._fromProgram(invocation, () => {
            const [packed, index] = params;
            const content = this._unpack(packed);
            const bytes = this._readFd(invocation, index);
            this._coverWith(content, this._sheet(content, bytes));
        });
    }

    ShowPanelAsync(params, invocation) {
        this._fromProgram(invocation, () => {
            const [index, x, y, width, height, stride] = params;
            const bytes = this._readFd(invocation, index);
            if (!(width > 0 && height > 0 && stride >= width * 4 && bytes.get_size() >= stride * height))
                throw new Error('the bitmap is smaller than its width, height and stride say');
            if (!this._cover)
                throw new Error('no cover to show the panel on');
            this._showPanel(bytes, x, y, width, height, stride);
        });
    }

    ShiftPicturesAsync(params, invocation) {
        this._fromProgram(invocation, () => {
            const [offsets] = params;
            if (offsets.length !== this._tiles.length * 2)
                throw new Error('not one offset for every tile');
            this._tiles.forEach((tile, i) => tile.shift(offsets[2 * i], offsets[2 * i + 1]));
        });
    }

    ShowGradientsAsync(params, invocation) {
        this._fromProgram(invocation, () => {
            const [index, packed] = params;
            const layout = this._unpack(packed);
            const bytes = this._readFd(invocation, index);
            const sheet = this._sheet(layout, bytes);
            const parts = this._groups(layout.parts, 4, 'parts');
            if (parts.length !== this._tiles.length)
                throw new Error('not one gradient for every tile');
            parts.forEach(part => this._checkInside(part, sheet));
            parts.forEach(([x, y, width, height], i) =>
                this._tiles[i].showGradient(this._imageOf(sheet, x, y, width, height)));
        });
    }

    HidePanelAsync(params, invocation) {
        this._fromProgram(invocation, () => this._hidePanel());
    }

    UncoverAsync(params, invocation) {
        this._fromProgram(invocation, () => this._uncover());
    }

    // The lock shortcut the program's settings chose ("<Control><Super>l"), or none for "".
    // Kept in the extension's settings, so it works while the program is not running too.
    SetLockShortcutAsync(params, invocation) {
        this._fromProgram(invocation, () => {
            const [accelerator] = params;
            if (!this._settings)
                throw new Error('the extension has no settings for its shortcut');
            const wellFormed = accelerator === '' || /^(<[A-Za-z]+>)*[A-Za-z0-9_]+$/.test(accelerator);
            if (accelerator.length > 64 || !wellFormed)
                throw new Error(`not a shortcut: ${accelerator}`);
            this._settings.set_strv('lock-shortcut', accelerator === '' ? [] : [accelerator]);
        });
    }

    SnapshotAsync(params, invocation) {
        this._fromProgram(invocation, () => {
            this._snapshot().then(
                monitors => invocation.return_value(new this._lib.GLib.Variant('(a(iiiiay))', [monitors])),
                error => invocation.return_dbus_error('org.tolva.Screen.Shell.Error.Failed', String(error)));
            return true; // answered later
        });
    }

    // Runs `body` if the caller owns org.tolva.Screen now (asked of the bus on every call), and
    // answers the call: AccessDenied for anyone else, Failed when `body` throws. A body that
    // returns true answers itself.
    _fromProgram(invocation, body) {
        const {Gio, GLib} = this._lib;
        const sender = invocation.get_sender();
        Gio.DBus.session.call('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
            'GetNameOwner', new GLib.Variant('(s)', [TolvaScreenShell.programName]), new GLib.VariantType('(s)'),
            Gio.DBusCallFlags.NONE, -1, null, (connection, result) => {
                let owner = null;
                try {
                    [owner] = connection.call_finish(result).deepUnpack();
                } catch (e) {
                    owner = null;
                }
                if (owner === null || owner !== sender) {
                    invocation.return_dbus_error('org.freedesktop.DBus.Error.AccessDenied',
                        `only the owner of ${TolvaScreenShell.programName} may use this interface`);
                    return;
                }
                this._owner = owner;
                let answered = false;
                try {
                    answered = body() === true;
                } catch (e) {
                    invocation.return_dbus_error('org.tolva.Screen.Shell.Error.Failed', String(e.message ?? e));
                    return;
                }
                if (!answered)
                    invocation.return_value(null);
            });
    }

    _unpack(content) {
        const values = {};
        for (const [key, value] of Object.entries(content))
            values[key] = value instanceof this._lib.GLib.Variant ? value.deepUnpack() : value;
        return values;
    }

    // The picture behind `bytes` as `fields` (width, height, stride) describe it.
    _sheet(fields, bytes) {
        const {width, height, stride} = fields;
        if (!(width > 0 && height > 0 && stride >= width * 4 && bytes.get_size() >= stride * height))
            throw new Error('the picture is smaller than its width, height and stride say');
        return {bytes, width, height, stride};
    }

    // A flat list of integers as groups of `size`.
    _groups(list, size, name) {
        if (!Array.isArray(list) || list.length % size !== 0 || !list.every(Number.isInteger))
            throw new Error(`${name}: not groups of ${size} integers`);
        const groups = [];
        for (let i = 0; i < list.length; i += size)
            groups.push(list.slice(i, i + size));
        return groups;
    }

    _checkInside([x, y, width, height], sheet) {
        if (!(x >= 0 && y >= 0 && width > 0 && height > 0 && x + width <= sheet.width && y + height <= sheet.height))
            throw new Error('a part lies outside its picture');
    }

    // The part of `sheet` at (x, y) of width × height as an image for an actor.
    _imageOf(sheet, x, y, width, height) {
        const offset = y * sheet.stride + x * 4;
        const length = Math.min(sheet.bytes.get_size() - offset, height * sheet.stride);
        const bytes = offset === 0 && length === sheet.bytes.get_size()
            ? sheet.bytes : sheet.bytes.new_from_bytes(offset, length);
        return this._imageContent(bytes, width, height, sheet.stride);
    }

    _imageContent(bytes, width, height, stride) {
        const {Cogl, St, global} = this._lib;
        const image = new St.ImageContent({preferred_width: width, preferred_height: height});
        // Little-endian ARGB32 premultiplied is B, G, R, A in memory.
        const format = Cogl.PixelFormat.BGRA_8888_PRE;
        try {
            image.set_bytes(bytes, format, width, height, stride);
        } catch (e) {
            // Newer Shells want the Cogl context first.
            const context = global.stage.context.get_backend().get_cogl_context();
            image.set_bytes(context, bytes, format, width, height, stride);
        }
        return image;
    }

    _readFd(invocation, index) {
        const {GLib} = this._lib;
        const fds = invocation.get_message().get_unix_fd_list();
        if (!fds)
            throw new Error('no file descriptor came with the call');
        const fd = fds.get(index);
        try {
            // Mapped, not read: the sender's file offset is shared and may be anywhere.
            return GLib.MappedFile.new_from_fd(fd, false).get_bytes();
        } finally {
            GLib.close(fd);
        }
    }

    _stageSize() {
        const {global} = this._lib;
        return [global.stage.width, global.stage.height];
    }

    _coverWith(content, picture) {
        const {St, Clutter, Main} = this._lib;
        if (!this._cover) {
            const [width, height] = this._stageSize();
            this._cover = new St.Widget({
                name: 'tolva-screen-cover',
                reactive: true,
                can_focus: true,
                x: 0,
                y: 0,
                width,
                height,
            });
            this._picture = new St.Widget({x: 0, y: 0, width, height});
            this._cover.add_child(this._picture);
            const uiGroup = Main.layoutManager.uiGroup;
            uiGroup.add_child(this._cover);
            // (Clutter names the signal 'actor-added' up to GNOME 44, 'child-added' from 45.)
            const raiseAbove = (group, actor) => {
                if (actor !== this._cover)
                    this._raise();
            };
            try {
                this._connect(uiGroup, 'child-added', raiseAbove);
            } catch (e) {
                this._connect(uiGroup, 'actor-added', raiseAbove);
            }
            this._connect(Main.layoutManager, 'monitors-changed', () => this._monitorsChanged());
            this._connect(this._cover, 'key-press-event', (actor, event) => this._key(event, true));
            this._connect(this._cover, 'key-release-event', (actor, event) => this._key(event, false));
            this._connect(this._cover, 'motion-event', (actor, event) => this._pointer('motion', event));
            this._connect(this._cover, 'button-press-event', (actor, event) => this._pointer('press', event));
            this._connect(this._cover, 'button-release-event', (actor, event) => this._pointer('release', event));
            this._connect(this._cover, 'scroll-event', () => Clutter.EVENT_STOP);
            this._connect(this._lib.global.stage, 'notify::key-focus', () => this._focusMoved());
            this._raise();
            this._hold();
        }
        this._setContent(content, picture);
    }

    _setContent(content, picture) {
        const {Clutter} = this._lib;
        const color = typeof content.color === 'string' ? content.color : '#000000';
        const opacity = typeof content.opacity === 'number' ? Math.max(0, Math.min(1, content.opacity)) : 1;
        this._cover.opacity = Math.round(opacity * 255);
        this._breathe(content);
        // The colour first: a picture that cannot be shown leaves an opaque cover, not a clear one.
        this._picture.set_content(null);
        this._picture.destroy_all_children();
        this._tiles = [];
        this._cover.style = `background-color: ${color};`;
        if (!picture)
            return;
        if (content.tiles !== undefined) {
            this._showSheet(content, picture);
        } else {
            this._picture.set_content(this._imageContent(picture.bytes, picture.width, picture.height,
                picture.stride));
            this._picture.set_content_gravity(Clutter.ContentGravity.RESIZE_FILL);
            this._picture.set_size(picture.width, picture.height);
        }
        this._cover.style = 'background-color: transparent;';
    }

    // A sheet of parts: each tile is a monitor's picture, clipped to the monitor, larger than it
    // by the margin ShiftPictures moves it in; the notes lie above the tiles and stand still.
    _showSheet(content, sheet) {
        const tiles = this._groups(content.tiles, 10, 'tiles');
        const notes = this._groups(content.notes ?? [], 6, 'notes');
        for (const tile of tiles) {
            const [mx, my, mw, mh, ax, ay, ...source] = tile;
            this._checkInside(source, sheet);
            const [, , width, height] = source;
            if (!(mw > 0 && mh > 0 && ax <= mx && ay <= my && ax + width >= mx + mw && ay + height >= my + mh))
                throw new Error('a tile leaves its monitor bare');
        }
        notes.forEach(([, , ...source]) => this._checkInside(source, sheet));
        this._tiles = tiles.map(([mx, my, mw, mh, ax, ay, x, y, width, height]) =>
            new TolvaScreenTile(this._lib, this._picture, [mx, my, mw, mh], [ax - mx, ay - my],
                this._imageOf(sheet, x, y, width, height), width, height));
        for (const [ax, ay, x, y, width, height] of notes) {
            const note = new this._lib.St.Widget({x: ax, y: ay, width, height});
            note.set_content(this._imageOf(sheet, x, y, width, height));
            this._picture.add_child(note);
        }
    }

    // The breathing: black over the cover's picture, beneath the panel, whose opacity goes from
    // none to `breathingDepth` (0…1) and back once every `breathingPeriod` seconds, repeated by
    // Clutter itself: nothing comes over the bus per frame. The opacity moves in steps, at most
    // two a second: each step draws the whole stage again, which costs a Shell drawing in
    // software far more than the slow change is worth. Content without these keys (from an
    // older program), or a depth of 0, stands still. A transition of its own, not the actor's
    // easing: the Shell shortens that to nothing where it turns its own animations off (software
    // rendering, say), and whether the cover moves is the program's to decide.
    _breathe(content) {
        const {Clutter, GObject, St} = this._lib;
        const depth = typeof content.breathingDepth === 'number' ? Math.max(0, Math.min(1, content.breathingDepth)) : 0;
        const period = typeof content.breathingPeriod === 'number' ? content.breathingPeriod : 0;
        const deepest = Math.round(depth * 255);
        if (this._dim)
            this._dim.remove_all_transitions();
        if (!(deepest > 0 && period >= 1 && period <= 3600)) {
            if (this._dim)
                this._dim.destroy();
            this._dim = null;
            return;
        }
        if (!this._dim) {
            const [width, height] = this._stageSize();
            this._dim = new St.Widget({style: 'background-color: black;', x: 0, y: 0, width, height});
            this._cover.insert_child_above(this._dim, this._picture);
        }
        this._dim.opacity = 0;
        const breath = new Clutter.PropertyTransition({
            property_name: 'opacity',
            interval: new Clutter.Interval({value_type: GObject.TYPE_UINT}),
            duration: Math.round(period * 500),
            repeat_count: -1,
            auto_reverse: true,
        });
        const steps = Math.max(2, Math.min(deepest, Math.floor(period * 0.5 * 2)));
        breath.set_step_progress(steps, Clutter.StepMode.END);
        breath.set_from(0);
        breath.set_to(deepest);
        this._dim.add_transition('tolva-screen-breathing', breath);
    }

    _raise() {
        const {Main} = this._lib;
        if (!this._cover)
            return;
        const uiGroup = Main.layoutManager.uiGroup;
        if (this._cover.get_parent() === uiGroup)
            uiGroup.set_child_above_sibling(this._cover, null);
    }

    // The modal grab takes every key and click of the session, the Shell's own shortcuts too.
    _hold() {
        const {Shell, Main, global} = this._lib;
        if (this._grab)
            return;
        this._grab = Main.pushModal(this._cover, {actionMode: Shell.ActionMode.NONE});
        global.stage.set_key_focus(this._cover);
    }

    // Another modal grab (a Shell dialog anyone on the bus may open, say) takes the keyboard
    // focus: the cover takes it back on top of it, once the other has finished taking it.
    _focusMoved() {
        const {GLib, global} = this._lib;
        if (!this._cover || this._holdAgainId || global.stage.get_key_focus() === this._cover)
            return;
        this._holdAgainId = GLib.idle_add(GLib.PRIORITY_HIGH, () => {
            this._holdAgainId = 0;
            this._holdAgain();
            return GLib.SOURCE_REMOVE;
        });
    }

    _holdAgain() {
        const {Main, global} = this._lib;
        if (!this._cover || global.stage.get_key_focus() === this._cover)
            return;
        if (this._grab) {
            try {
                Main.popModal(this._grab);
            } catch (e) {
                logError(e, 'tolva-screen: the cover\'s grab was gone');
            }
            this._grab = null;
        }
        this._hold();
        log('tolva-screen: another grab took the keyboard; the cover took it back');
    }

    _monitorsChanged() {
        const [width, height] = this._stageSize();
        if (this._cover)
            this._cover.set_size(width, height);
        if (this._dim)
            this._dim.set_size(width, height);
        this._emit('MonitorsChanged', null);
    }

    _key(event, pressed) {
        const {Clutter, GLib} = this._lib;
        const code = event.get_key_unicode();
        const text = pressed && code && code.codePointAt(0) >= 0x20 && code.codePointAt(0) !== 0x7f ? code : '';
        this._emit('Key', new GLib.Variant('(uuubs)',
            [event.get_key_symbol(), event.get_key_code(), event.get_state(), pressed, text]));
        return Clutter.EVENT_STOP;
    }

    _pointer(kind, event) {
        const {Clutter, GLib} = this._lib;
        const [x, y] = event.get_coords();
        const button = kind === 'motion' ? 0 : event.get_button();
        this._emit('Pointer', new GLib.Variant('(sddu)', [kind, x, y, button]));
        return Clutter.EVENT_STOP;
    }

    // Signals go to the program alone: what is typed on the cover is nobody else's business.
    _emit(name, parameters) {
        const {Gio} = this._lib;
        if (!this._owner)
            return;
        try {
            Gio.DBus.session.emit_signal(this._owner, TolvaScreenShell.objectPath, TolvaScreenShell.busName,
                name, parameters);
        } catch (e) {
            logError(e, 'tolva-screen: cannot send a signal');
        }
    }

    _showPanel(bytes, x, y, width, height, stride) {
        const {Clutter, St} = this._lib;
        const image = this._imageContent(bytes, width, height, stride);
        if (!this._panel) {
            this._panel = new St.Widget({});
            this._cover.add_child(this._panel);
        }
        this._panel.set_content(image);
        this._panel.set_content_gravity(Clutter.ContentGravity.RESIZE_FILL);
        this._panel.set_position(x, y);
        this._panel.set_size(width, height);
        this._cover.set_child_above_sibling(this._panel, null);
    }

    _hidePanel() {
        if (this._panel) {
            this._panel.destroy();
            this._panel = null;
        }
    }

    _uncover() {
        const {Main} = this._lib;
        if (!this._cover)
            return;
        for (const [object, id] of this._signals)
            object.disconnect(id);
        this._signals = [];
        if (this._holdAgainId) {
            this._lib.GLib.source_remove(this._holdAgainId);
            this._holdAgainId = 0;
        }
        this._stopStartingProgram();
        if (this._grab) {
            Main.popModal(this._grab);
            this._grab = null;
        }
        this._hidePanel();
        this._cover.destroy();
        this._cover = null;
        this._picture = null;
        this._dim = null;
        this._tiles = [];
        if (this._stopWhenUncovered)
            this.stop();
    }

    // One PNG per monitor, of what the stage shows there now.
    async _snapshot() {
        const {Gio, Shell, Main} = this._lib;
        const monitors = [];
        for (const m of Main.layoutManager.monitors) {
            const stream = Gio.MemoryOutputStream.new_resizable();
            const shooter = new Shell.Screenshot();
            // eslint-disable-next-line no-await-in-loop
            await new Promise((resolve, reject) => {
                shooter.screenshot_area(m.x, m.y, m.width, m.height, stream, (object, result) => {
                    try {
                        object.screenshot_area_finish(result);
                        resolve();
                    } catch (e) {
                        reject(e);
                    }
                });
            });
            stream.close(null);
            monitors.push([m.x, m.y, m.width, m.height, stream.steal_as_bytes().toArray()]);
        }
        return monitors;
    }

    _programAppeared(owner) {
        this._programRunning = true;
        this._stopStartingProgram();
        // The cover waits for the new program's first call to take it over.
        if (owner !== this._owner)
            this._hidePanel();
    }

    _programVanished() {
        this._programRunning = false;
        this._owner = null;
        this._hidePanel();
        if (this._cover) {
            log('tolva-screen: the program left while covered; the cover stays until it is back');
            this._startProgram(1);
        }
    }

    // The cover holds every key, so no one could start the program again by hand: the bus starts
    // it (its D-Bus service), after `delay` seconds and then less and less often, until it is
    // back or the cover is gone.
    _startProgram(delay) {
        const {Gio, GLib} = this._lib;
        this._stopStartingProgram();
        this._startId = GLib.timeout_add_seconds(GLib.PRIORITY_DEFAULT, delay, () => {
            this._startId = 0;
            if (!this._cover || this._programRunning)
                return GLib.SOURCE_REMOVE;
            Gio.DBus.session.call('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                'StartServiceByName', new GLib.Variant('(su)', [TolvaScreenShell.programName, 0]), null,
                Gio.DBusCallFlags.NONE, -1, null, (connection, result) => {
                    try {
                        connection.call_finish(result);
                    } catch (e) {
                        log(`tolva-screen: cannot start the program: ${e.message}`);
                    }
                });
            this._startProgram(Math.min(delay * 2, 30));
            return GLib.SOURCE_REMOVE;
        });
    }

    _stopStartingProgram() {
        if (this._startId) {
            this._lib.GLib.source_remove(this._startId);
            this._startId = 0;
        }
    }

    _askProgramToLock() {
        const {Gio} = this._lib;
        Gio.DBus.session.call(TolvaScreenShell.programName, '/org/tolva/Screen', 'org.tolva.Screen', 'Lock',
            null, null, Gio.DBusCallFlags.NONE, -1, null, (connection, result) => {
                try {
                    connection.call_finish(result);
                } catch (e) {
                    log(`tolva-screen: the lock shortcut was refused: ${e.message}`);
                }
            });
    }

    _connect(object, signal, handler) {
        this._signals.push([object, object.connect(signal, handler)]);
    }
};

// One monitor's part of a sheet: a frame at the monitor's place that shows nothing beyond it, the
// picture in it (larger by the margin it moves in) and the gradient over the monitor.
var TolvaScreenTile = class TolvaScreenTile {
    constructor(lib, parent, [x, y, width, height], [restX, restY], image, pictureWidth, pictureHeight) {
        const {Clutter, St} = lib;
        this._lib = lib;
        this._rest = [restX, restY];
        // How far the picture may go each way and still cover the whole monitor.
        this._reach = [[width - (restX + pictureWidth), -restX], [height - (restY + pictureHeight), -restY]];
        this._frame = new St.Widget({x, y, width, height, clip_to_allocation: true});
        this._picture = new St.Widget({x: restX, y: restY, width: pictureWidth, height: pictureHeight});
        this._picture.set_content(image);
        this._picture.set_content_gravity(Clutter.ContentGravity.RESIZE_FILL);
        this._frame.add_child(this._picture);
        this._gradient = null;
        parent.add_child(this._frame);
    }

    // `dx`, `dy` from where the picture rests, held within its margin: never a gap at an edge.
    shift(dx, dy) {
        const within = (value, [low, high]) => Math.max(low, Math.min(high, value));
        this._picture.set_position(this._rest[0] + within(dx, this._reach[0]),
            this._rest[1] + within(dy, this._reach[1]));
    }

    showGradient(image) {
        const {Clutter, St} = this._lib;
        if (!this._gradient) {
            const [width, height] = this._frame.get_size();
            this._gradient = new St.Widget({x: 0, y: 0, width, height});
            this._gradient.set_content_gravity(Clutter.ContentGravity.RESIZE_FILL);
            this._frame.add_child(this._gradient);
        }
        this._gradient.set_content(image);
    }
};
