// Dropbox Chooser library (dropins.js, API 2) as served by the local stand-in.
// Plain ES5 for old WebKit engines.
(function (window) {
    var WEB = 'https://www.dropbox.com';
    var listening = false;
    var current = null;

    function scriptAppKey() {
        var el = window.document.getElementById('dropboxjs');
        return el ? (el.getAttribute('data-app-key') || null) : null;
    }

    function pageOrigin() {
        var l = window.location;
        if (l.origin && l.origin !== 'null') { return l.origin; }
        return l.protocol + '//' + l.host;
    }

    function extensionsText(list) {
        if (!list) { return ''; }
        if (typeof list === 'string') { return list; }
        var out = [], i;
        for (i = 0; i < list.length; i++) { out.push(String(list[i])); }
        return out.join(' ');
    }

    function onMessage(event) {
        if (!current || event.origin !== WEB) { return; }
        var data;
        try { data = JSON.parse(event.data); } catch (e) { return; }
        var call = current;
        if (data.method === 'files_selected') {
            current = null;
            if (call.options.success) { call.options.success(data.params); }
        } else if (data.method === 'close_dialog') {
            current = null;
            if (call.options.cancel) { call.options.cancel(); }
        }
    }

    function watchClosed(call) {
        var timer = window.setInterval(function () {
            if (current !== call) { window.clearInterval(timer); return; }
            var closed = true;
            try { closed = !call.popup || call.popup.closed; } catch (e) { closed = true; }
            if (closed) {
                window.clearInterval(timer);
                current = null;
                if (call.options.cancel) { call.options.cancel(); }
            }
        }, 500);
    }

    var Dropbox = {
        appKey: scriptAppKey(),
        isBrowserSupported: function () { return true; },
        choose: function (options) {
            options = options || {};
            var key = Dropbox.appKey || scriptAppKey();
            if (!key) {
                throw new Error('Missing Dropbox app key: set Dropbox.appKey or the data-app-key attribute');
            }
            if (!listening) {
                window.addEventListener('message', onMessage, false);
                listening = true;
            }
            var url = WEB + '/chooser?origin=' + encodeURIComponent(pageOrigin()) +
                '&app_key=' + encodeURIComponent(key) +
                '&link_type=' + encodeURIComponent(options.linkType || 'preview') +
                '&trigger=js' +
                '&multiselect=' + (options.multiselect ? 'true' : 'false') +
                '&extensions=' + encodeURIComponent(extensionsText(options.extensions)) +
                '&folderselect=' + (options.folderselect ? 'true' : 'false') +
                '&iframe=false&version=2';
            var popup = window.open(url, 'dropbox', 'width=760,height=570,left=100,top=100,resizable=yes,location=yes');
            var call = {options: options, popup: popup};
            current = call;
            if (!popup) {
                current = null;
                if (options.cancel) { options.cancel(); }
                return;
            }
            watchClosed(call);
        },
        createChooseButton: function (options) {
            var a = window.document.createElement('a');
            a.href = '#';
            a.className = 'dropbox-dropin-btn dropbox-dropin-default';
            a.appendChild(window.document.createTextNode('Choose from Dropbox'));
            a.onclick = function () { Dropbox.choose(options); return false; };
            return a;
        },
        save: function () {
            throw new Error('Dropbox.save is not offered by this chooser library');
        }
    };
    window.Dropbox = Dropbox;
})(window);
