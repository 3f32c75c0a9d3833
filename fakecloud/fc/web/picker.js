// The Google Picker frame: lists Drive files and reports a pick or a cancel
// to the page that shows it (window.parent) with postMessage.
var DOCS_HERE = /*DOCS*/null;
var ALL_DOCS = /*ALL*/null;
var MULTI = /*MULTI*/false;
var ORIGIN = /*ORIGIN*/'';
var AUTO = /*AUTO*/null;
var AUTO_DELAY = /*DELAY*/0;
var PICKER_ID = (function () {
    var m = /[?&]picker=([^&]*)/.exec(window.location.search);
    return m ? decodeURIComponent(m[1]) : '';
})();
var selected = {};
var done = false;

function fcSend(message) {
    message.picker = PICKER_ID;
    if (window.parent && window.parent !== window) {
        window.parent.postMessage(JSON.stringify(message), (ORIGIN && ORIGIN !== 'null') ? ORIGIN : '*');
    }
}

function fcToggle(i) {
    var k, any = false;
    if (DOCS_HERE[i].type === 'folder') { return; }
    if (!MULTI) {
        for (k in selected) {
            if (selected.hasOwnProperty(k)) { document.getElementById('doc-' + k).className = ''; }
        }
        selected = {};
    }
    if (selected[i]) {
        delete selected[i];
        document.getElementById('doc-' + i).className = '';
    } else {
        selected[i] = true;
        document.getElementById('doc-' + i).className = 'sel';
    }
    for (k in selected) { if (selected.hasOwnProperty(k)) { any = true; } }
    document.getElementById('select').disabled = !any;
}

function fcPick(docs) {
    if (done) { return; }
    done = true;
    fcSend({action: 'picked', docs: docs});
}

function fcSelect() {
    var out = [], i;
    for (i = 0; i < DOCS_HERE.length; i++) {
        if (selected[i]) { out.push(DOCS_HERE[i]); }
    }
    if (out.length) { fcPick(out); }
}

function fcCancel() {
    if (done) { return; }
    done = true;
    fcSend({action: 'cancel'});
}

fcSend({action: 'loaded'});

(function () {
    if (!AUTO) { return; }
    setTimeout(function () {
        var i;
        if (AUTO.action === 'cancel') { fcCancel(); return; }
        for (i = 0; i < ALL_DOCS.length; i++) {
            if (AUTO.name === null || ALL_DOCS[i].name === AUTO.name) {
                fcPick([ALL_DOCS[i]]);
                return;
            }
        }
        document.getElementById('fc-auto').innerHTML = 'Automatic mode: no file named ' +
            String(AUTO.name).replace(/</g, '&lt;') + ' here; waiting';
    }, AUTO_DELAY);
})();
