// Google API loader (api.js) as served by the local stand-in: gapi.load,
// gapi.auth.authorize (pop-up on the accounts host) and google.picker.
// Plain ES5 for old WebKit engines.
(function (window) {
    var ACCOUNTS = 'https://accounts.google.com';
    var DOCS = 'https://docs.google.com';
    var document = window.document;
    var token = null;
    var pending = {};
    var stateSeq = 0;
    var listening = false;
    var pickers = {};
    var pickerSeq = 0;

    function later(fn) { window.setTimeout(fn, 0); }

    function pageOrigin() {
        var l = window.location;
        if (l.origin && l.origin !== 'null') { return l.origin; }
        return l.protocol + '//' + l.host;
    }

    function listen() {
        if (listening) { return; }
        listening = true;
        window.addEventListener('message', function (event) {
            var data;
            if (event.origin !== ACCOUNTS && event.origin !== DOCS) { return; }
            try { data = JSON.parse(event.data); } catch (e) { return; }
            if (event.origin === ACCOUNTS) {
                var call = pending[data.state];
                if (!call) { return; }
                delete pending[data.state];
                if (call.frame && call.frame.parentNode) { call.frame.parentNode.removeChild(call.frame); }
                if (data.access_token) { token = data; }
                call.callback(data);
            } else {
                var picker = pickers[data.picker];
                if (picker) { picker.message(data); }
            }
        }, false);
    }

    function scopeText(scope) {
        if (!scope) { return ''; }
        if (typeof scope === 'string') { return scope; }
        var out = [], i;
        for (i = 0; i < scope.length; i++) { out.push(String(scope[i])); }
        return out.join(' ');
    }

    function authorize(params, callback) {
        params = params || {};
        callback = callback || function () {};
        listen();
        stateSeq += 1;
        var state = 'fc' + stateSeq + '_' + Math.floor(Math.random() * 1e9);
        var immediate = !!params.immediate;
        var url = ACCOUNTS + '/o/oauth2/auth?client_id=' + encodeURIComponent(params.client_id || '') +
            '&scope=' + encodeURIComponent(scopeText(params.scope)) +
            '&immediate=' + (immediate ? 'true' : 'false') +
            '&response_type=' + encodeURIComponent(params.response_type || 'token') +
            '&redirect_uri=postmessage' +
            '&origin=' + encodeURIComponent(pageOrigin()) +
            '&include_granted_scopes=true&state=' + encodeURIComponent(state);
        var call = {callback: callback};
        pending[state] = call;
        if (immediate) {
            var frame = document.createElement('iframe');
            frame.style.display = 'none';
            frame.src = url;
            call.frame = frame;
            document.body.appendChild(frame);
            return;
        }
        var popup = window.open(url, 'oauth2relay' + stateSeq, 'width=600,height=600');
        if (!popup) {
            delete pending[state];
            later(function () { callback({error: 'popup_blocked_by_browser', state: state}); });
            return;
        }
        var timer = window.setInterval(function () {
            if (!pending[state]) { window.clearInterval(timer); return; }
            var closed = true;
            try { closed = popup.closed; } catch (e) { closed = true; }
            if (closed) {
                window.clearInterval(timer);
                // Give a result posted just before the window closed time to arrive.
                window.setTimeout(function () {
                    if (pending[state]) {
                        delete pending[state];
                        callback({error: 'popup_closed_by_user', state: state});
                    }
                }, 300);
            }
        }, 500);
    }

    // ------------------------------------------------------------ picker
    function extend(target, source) {
        var k;
        for (k in source) { if (source.hasOwnProperty(k)) { target[k] = source[k]; } }
        return target;
    }

    function View(viewId) {
        this.viewId = viewId || 'all';
        this.options = {};
    }
    View.prototype.getId = function () { return this.viewId; };
    View.prototype.setMimeTypes = function (types) {
        // A list arrives as an array from some callers; Google takes a comma-separated text.
        this.options.mimeTypes = (types && typeof types !== 'string' && types.length !== undefined) ?
            Array.prototype.join.call(types, ',') : String(types || '');
        return this;
    };
    View.prototype.setQuery = function (q) { this.options.query = String(q); return this; };

    function DocsView(viewId) {
        View.call(this, viewId || 'all');
    }
    DocsView.prototype = new View();
    DocsView.prototype.constructor = DocsView;
    DocsView.prototype.setIncludeFolders = function (v) { this.options.includeFolders = !!v; return this; };
    DocsView.prototype.setSelectFolderEnabled = function (v) { this.options.selectFolderEnabled = !!v; return this; };
    DocsView.prototype.setParent = function (p) { this.options.parent = String(p); return this; };
    DocsView.prototype.setOwnedByMe = function (v) { this.options.ownedByMe = !!v; return this; };
    DocsView.prototype.setStarred = function (v) { this.options.starred = !!v; return this; };
    DocsView.prototype.setMode = function (m) { this.options.mode = m; return this; };
    DocsView.prototype.setEnableDrives = function (v) { this.options.enableDrives = !!v; return this; };

    function Picker(config) {
        pickerSeq += 1;
        this.id = 'fcpicker' + pickerSeq;
        this.config = config;
        this.visible = false;
        this.box = null;
        pickers[this.id] = this;
    }
    Picker.prototype.isVisible = function () { return this.visible; };
    Picker.prototype.setCallback = function (cb) { this.config.callback = cb; return this; };
    Picker.prototype.setRelayUrl = function () { return this; };
    Picker.prototype.dispose = function () { this.setVisible(false); delete pickers[this.id]; };
    Picker.prototype.setVisible = function (show) {
        if (show && !this.visible) {
            listen();
            var c = this.config, views = [], i;
            for (i = 0; i < c.views.length; i++) {
                views.push(extend({viewId: c.views[i].viewId}, c.views[i].options));
            }
            var url = DOCS + '/picker?protocol=gadgets&picker=' + encodeURIComponent(this.id) +
                '&origin=' + encodeURIComponent(c.origin || pageOrigin()) +
                '&oauth_token=' + encodeURIComponent(c.token || '') +
                '&title=' + encodeURIComponent(c.title || '') +
                '&navHidden=' + (c.features.navHidden ? 'true' : 'false') +
                '&multiselect=' + (c.features.multiselectEnabled ? 'true' : 'false') +
                '&views=' + encodeURIComponent(JSON.stringify(views)) +
                (c.developerKey ? '&developerKey=' + encodeURIComponent(c.developerKey) : '');
            var box = document.createElement('div');
            box.className = 'picker-dialog';
            box.style.position = 'fixed';
            box.style.left = '0px';
            box.style.top = '0px';
            box.style.zIndex = '2000';
            box.style.background = '#fff';
            box.style.border = '1px solid #acacac';
            var frame = document.createElement('iframe');
            frame.className = 'picker-frame';
            frame.style.width = (c.width || 800) + 'px';
            frame.style.height = (c.height || 700) + 'px';
            frame.style.border = '0';
            frame.src = url;
            box.appendChild(frame);
            if (!c.titleBarHidden) {
                var bar = document.createElement('div');
                bar.appendChild(document.createTextNode(c.title || 'Google Picker'));
                box.insertBefore(bar, frame);
            }
            document.body.appendChild(box);
            this.box = box;
            this.visible = true;
        } else if (!show && this.visible) {
            if (this.box && this.box.parentNode) { this.box.parentNode.removeChild(this.box); }
            this.box = null;
            this.visible = false;
        }
    };
    Picker.prototype.message = function (data) {
        var result = {action: data.action};
        if (data.docs) { result.docs = data.docs; }
        if (data.viewToken) { result.viewToken = data.viewToken; }
        if (data.action === 'picked' || data.action === 'cancel') { this.setVisible(false); }
        if (this.config.callback) { this.config.callback(result); }
    };

    function PickerBuilder() {
        this.config = {views: [], features: {}, callback: null, token: null, width: 800, height: 700,
                       title: '', titleBarHidden: false, origin: null, developerKey: null};
    }
    PickerBuilder.prototype.addView = function (view) {
        if (typeof view === 'string') { view = new DocsView(view); }
        this.config.views.push(view);
        return this;
    };
    PickerBuilder.prototype.addViewGroup = function (group) { return this; };
    PickerBuilder.prototype.enableFeature = function (f) { this.config.features[f] = true; return this; };
    PickerBuilder.prototype.disableFeature = function (f) { delete this.config.features[f]; return this; };
    PickerBuilder.prototype.setSize = function (w, h) { this.config.width = w; this.config.height = h; return this; };
    PickerBuilder.prototype.hideTitleBar = function () { this.config.titleBarHidden = true; return this; };
    PickerBuilder.prototype.setTitle = function (t) { this.config.title = String(t); return this; };
    PickerBuilder.prototype.setOAuthToken = function (t) { this.config.token = t; return this; };
    PickerBuilder.prototype.setCallback = function (cb) { this.config.callback = cb; return this; };
    PickerBuilder.prototype.setOrigin = function (o) { this.config.origin = o; return this; };
    PickerBuilder.prototype.setDeveloperKey = function (k) { this.config.developerKey = k; return this; };
    PickerBuilder.prototype.setAppId = function (id) { this.config.appId = id; return this; };
    PickerBuilder.prototype.setLocale = function (l) { this.config.locale = l; return this; };
    PickerBuilder.prototype.setSelectableMimeTypes = function (m) { this.config.selectableMimeTypes = m; return this; };
    PickerBuilder.prototype.build = function () {
        if (!this.config.views.length) { this.config.views.push(new DocsView()); }
        return new Picker(extend({}, this.config));
    };

    function installPicker() {
        var google = window.google = window.google || {};
        if (google.picker) { return; }
        google.picker = {
            PickerBuilder: PickerBuilder,
            DocsView: DocsView,
            View: View,
            ViewId: {DOCS: 'all', DOCS_IMAGES: 'docs-images', DOCS_IMAGES_AND_VIDEOS: 'docs-images-and-videos',
                     DOCS_VIDEOS: 'docs-videos', DOCUMENTS: 'documents', DRAWINGS: 'drawings', FOLDERS: 'folders',
                     FORMS: 'forms', PDFS: 'pdfs', PRESENTATIONS: 'presentations', SPREADSHEETS: 'spreadsheets'},
            Feature: {MINE_ONLY: 'mineOnly', MULTISELECT_ENABLED: 'multiselectEnabled', NAV_HIDDEN: 'navHidden',
                      SIMPLE_UPLOAD_ENABLED: 'simpleUploadEnabled', SUPPORT_DRIVES: 'sdr'},
            Action: {CANCEL: 'cancel', PICKED: 'picked', LOADED: 'loaded', ERROR: 'error',
                     UPLOAD_PROGRESS: 'uploadProgress', RECEIVED: 'received'},
            Response: {ACTION: 'action', DOCUMENTS: 'docs', PARENTS: 'parents', VIEW: 'viewToken'},
            Document: {ADDRESS_LINES: 'addressLines', AUDIENCE: 'audience', DESCRIPTION: 'description',
                       DURATION: 'duration', EMBEDDABLE_URL: 'embedUrl', ICON_URL: 'iconUrl', ID: 'id',
                       IS_NEW: 'isNew', LAST_EDITED_UTC: 'lastEditedUtc', LATITUDE: 'latitude',
                       LONGITUDE: 'longitude', MIME_TYPE: 'mimeType', NAME: 'name', NUM_CHILDREN: 'numChildren',
                       PARENT_ID: 'parentId', PHONE_NUMBERS: 'phoneNumbers', SERVICE_ID: 'serviceId',
                       THUMBNAILS: 'thumbnails', TYPE: 'type', URL: 'url',
                       SIZE_BYTES: 'sizeBytes', SQ: 'sizeBytes'},
            Type: {DOCUMENT: 'document', PHOTO: 'photo', VIDEO: 'video', AUDIO: 'audio', FILE: 'file',
                   FOLDER: 'folder', URL: 'url', LOCATION: 'location'},
            DocsViewMode: {GRID: 'grid', LIST: 'list'}
        };
    }

    // gapi.auth and gapi.auth2 were retired in 2023: gone under today's rules.
    var authRetired = /*AUTH_RETIRED*/false;
    var MODULES = authRetired ? {client: true, picker: true}
                              : {auth: true, auth2: true, client: true, picker: true, 'client:auth2': true};

    var gapi = window.gapi = window.gapi || {};
    gapi.load = function (names, config) {
        var list = String(names).split(':');
        var callback = typeof config === 'function' ? config : (config && config.callback);
        var onerror = config && typeof config === 'object' ? config.onerror : null;
        later(function () {
            var i;
            for (i = 0; i < list.length; i++) {
                if (!MODULES[list[i]]) {
                    if (onerror) { onerror(new Error('unknown module ' + list[i])); }
                    return;
                }
                if (list[i] === 'picker') { installPicker(); }
            }
            if (callback) { callback(); }
        });
    };
    if (!authRetired) {
        gapi.auth = {
            authorize: authorize,
            init: function (cb) { if (cb) { later(cb); } },
            getToken: function () { return token; },
            setToken: function (t) { token = t; }
        };
    }
})(window);
