// The Dropbox chooser window: lists the files, reports the choice to the
// page that opened it (window.opener) with postMessage, then closes itself.
var FILES = /*FILES*/null;
var MULTI = /*MULTI*/false;
var ORIGIN = /*ORIGIN*/'';
var AUTO = /*AUTO*/null;
var AUTO_DELAY = /*DELAY*/0;
var selected = {};
var done = false;

function fcTarget() {
    return (ORIGIN && ORIGIN !== 'null') ? ORIGIN : '*';
}

function fcSend(message) {
    var w = window.opener || (window.parent !== window ? window.parent : null);
    if (w) {
        w.postMessage(JSON.stringify(message), fcTarget());
    }
}

function fcFinish(message) {
    if (done) { return; }
    done = true;
    fcSend(message);
    setTimeout(function () { window.close(); }, 50);
}

function fcToggle(i) {
    var k;
    if (!MULTI) {
        for (k in selected) {
            if (selected.hasOwnProperty(k)) {
                document.getElementById('file-' + k).className = '';
            }
        }
        selected = {};
    }
    if (selected[i]) {
        delete selected[i];
        document.getElementById('file-' + i).className = '';
    } else {
        selected[i] = true;
        document.getElementById('file-' + i).className = 'sel';
    }
    var any = false;
    for (k in selected) { if (selected.hasOwnProperty(k)) { any = true; } }
    document.getElementById('choose').disabled = !any;
}

function fcChoose() {
    var out = [], i;
    for (i = 0; i < FILES.length; i++) {
        if (selected[i]) { out.push(FILES[i]); }
    }
    if (out.length) {
        fcFinish({method: 'files_selected', params: out});
    }
}

function fcCancel() {
    fcFinish({method: 'close_dialog'});
}

(function () {
    if (!AUTO) { return; }
    setTimeout(function () {
        var i;
        if (AUTO.action === 'cancel') { fcCancel(); return; }
        for (i = 0; i < FILES.length; i++) {
            if (AUTO.name === null || FILES[i].name === AUTO.name) {
                fcToggle(i);
                fcChoose();
                return;
            }
        }
        document.getElementById('fc-auto').innerHTML = 'Automatic mode: no file named ' +
            String(AUTO.name).replace(/</g, '&lt;') + ' here; waiting';
    }, AUTO_DELAY);
})();
