// The gateway's page, built into zelhost: one HTML page, its style and its
// script. The script follows /events (Server-Sent Events) and draws the
// channels from the JSON frames with text nodes only: a point's name is
// always text, never markup. No outside resource, no framework.
#include "http_request.h"

namespace zelhost {

const char kHttpPageHtml[] = R"HTML(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>ZELWNQX gateway</title>
<link rel="stylesheet" href="/app.css">
<link rel="icon" href="/icon.svg">
</head>
<body class="away">
<header>
  <h1>ZELWNQX gateway <span id="host"></span></h1>
  <p id="gateway" class="banner">Connecting to the gateway&hellip;</p>
</header>
<main id="channels"></main>
<section id="history">
  <h2>Last events <small>(newest first; UTC and this browser's time)</small></h2>
  <p id="no-events" class="quiet">No event since the gateway started.</p>
  <ol id="events"></ol>
</section>
<footer>Run <span id="run">&ndash;</span>. Live from <code>/events</code>; JSON at <code>/api/state</code> and <code>/api/events</code>; metrics at <code>/metrics</code>.</footer>
<script src="/app.js"></script>
</body>
</html>
)HTML";

const char kHttpPageStyle[] = R"CSS(:root { --alarm: #b71c1c; --trouble: #f9a825; --up: #2e7d32; --lost: #c62828; --silent: #ef6c00; --noport: #616161; }
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.4 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #1a1a1a; background: #f4f4f4; }
header, main, section, footer { max-width: 60rem; margin: 0 auto; padding: 0 .75rem; }
h1 { font-size: 1.3rem; margin: .75rem 0 .25rem; }
h1 span { font-weight: normal; color: #555; }
h2 { font-size: 1.1rem; margin: .5rem 0; }
h3 { font-size: 1rem; margin: .75rem 0 .25rem; }
small, .quiet { color: #666; font-weight: normal; }
.banner { margin: .25rem 0 .75rem; padding: .4rem .6rem; border-radius: .3rem; background: #e8f5e9; color: #1b5e20; }
body.away .banner { background: var(--lost); color: #fff; font-weight: bold; }
body.away main, body.away section { opacity: .45; }
.channel { background: #fff; border-radius: .4rem; padding: .5rem .75rem .75rem; margin-bottom: .75rem; box-shadow: 0 1px 2px rgba(0,0,0,.15); }
.channel-head { display: flex; flex-wrap: wrap; align-items: center; gap: .5rem; }
.channel-head h2 { margin: 0; flex: 1 1 auto; }
.line { padding: .2rem .6rem; border-radius: 1rem; color: #fff; font-weight: bold; }
.line-up { background: var(--up); }
.line-lost { background: var(--lost); }
.line-silent { background: var(--silent); }
.line-noport { background: var(--noport); }
.diag { display: flex; flex-wrap: wrap; gap: .25rem 1rem; margin: .5rem 0; padding: 0; list-style: none; }
.diag b { font-variant-numeric: tabular-nums; }
.unknown { background: #fff3e0; border-left: .3rem solid var(--silent); padding: .3rem .5rem; margin: .25rem 0; }
.group { margin: .4rem 0; }
.points { list-style: none; margin: 0; padding: 0; }
.points li { display: flex; flex-wrap: wrap; gap: .15rem .6rem; align-items: baseline; padding: .3rem .5rem; margin: .2rem 0; border-radius: .3rem; }
.points .alarm { background: var(--alarm); color: #fff; }
.points .trouble { background: #fff8e1; border: 2px dashed var(--trouble); color: #3e2723; }
.points .other { background: #eceff1; }
.kind { font-weight: bold; letter-spacing: .05em; min-width: 7.5em; }
.alarm .kind::before { content: "\25CF  "; }
.trouble .kind::before { content: "\26A0  "; }
.name { font-weight: bold; }
.address, .time { font-family: ui-monospace, monospace; font-size: .9em; }
.walk { margin-top: .5rem; border-top: 1px solid #ddd; }
.walk ul { margin: .2rem 0; padding-left: 1.2rem; }
.never { color: var(--lost); }
#events { list-style: none; padding: 0; margin: 0; }
#events li { background: #fff; padding: .3rem .5rem; margin: .2rem 0; border-radius: .3rem; display: flex; flex-wrap: wrap; gap: .1rem .6rem; }
#events .times { display: flex; flex-direction: column; min-width: 14rem; }
#events .local { color: #555; font-size: .85em; }
#events .line-event { border-left: .3rem solid var(--silent); }
#events .to-alarm { border-left: .3rem solid var(--alarm); }
#events .to-trouble { border-left: .3rem solid var(--trouble); }
footer { color: #666; font-size: .85em; margin: 1rem auto; }
@media (max-width: 30rem) { #events .times { min-width: 100%; } .kind { min-width: auto; } }
)CSS";

const char kHttpPageScript[] = R"JS('use strict';
// The gateway's page: follows /events and draws what each frame says.
// Everything from the gateway goes into text nodes (textContent), never
// into markup.
const byId = (id) => document.getElementById(id);
function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined && text !== null) e.textContent = String(text);
  return e;
}
const pad = (n, w) => String(n).padStart(w || 2, '0');
const utcText = (iso) => iso.replace('T', ' ').replace('Z', ' UTC');
function localText(iso) {
  const d = new Date(iso);
  return isNaN(d) ? '' : d.toLocaleString() + ' (this browser)';
}
const LINE_WORDS = {
  'up': ['up', 'line-up'], 'lost': ['LOST: the serial device is away', 'line-lost'],
  'silent': ['SILENT: no message from the panel', 'line-silent'], 'no port': ['no port', 'line-noport'] };
const KIND_WORDS = { alarm: 'FIRE ALARM', trouble: 'TROUBLE', other: 'ACTIVE' };

let source = null, lastHeard = 0, retry = null, run = null, events = [];
const SHOWN_EVENTS = 500;

function setLive(live, why) {
  document.body.classList.toggle('away', !live);
  const banner = byId('gateway');
  if (live) {
    banner.textContent = 'Live: changes show as they happen.';
    banner.dataset.since = '';
  } else {
    if (!banner.dataset.since) banner.dataset.since = new Date().toLocaleTimeString();
    banner.textContent = 'The gateway is not answering (' + why + ', since ' + banner.dataset.since +
      '): what is shown may be out of date. Trying again every second.';
  }
}

function pointRow(p, tag) {
  const li = el(tag || 'li', p.kind);
  li.append(el('span', 'kind', KIND_WORDS[p.kind] || 'ACTIVE'));
  if (p.name !== undefined) li.append(el('span', 'name', p.name));
  li.append(el('span', 'address', p.address), el('span', 'type', p.type === null ? 'no type' : p.type),
            el('span', 'value', 'value ' + p.value));
  return li;
}

function drawWalk(walk) {
  const box = el('div', 'walk');
  box.append(el('h3', '', 'Walk test: ' + walk.reported.length + ' of ' + walk.named + ' named points reported'));
  if (walk.reported.length) {
    const ul = el('ul');
    for (const p of walk.reported) {
      const li = el('li');
      li.append(el('span', 'name', p.name), document.createTextNode(' '), el('span', 'address', p.address),
                document.createTextNode(' ' + (p.type || '') + ': ' + p.changes + (p.changes === 1 ? ' change' : ' changes') +
                  ', last ' + utcText(p.last) + ', now ' + p.value));
      ul.append(li);
    }
    box.append(ul);
  }
  if (walk.never.length) {
    box.append(el('h3', 'never', 'Never reported: ' + walk.never.length));
    const ul = el('ul', 'never');
    for (const p of walk.never) {
      const li = el('li');
      li.append(el('span', 'name', p.name), document.createTextNode(' '), el('span', 'address', p.address),
                document.createTextNode(' ' + (p.type || '')));
      ul.append(li);
    }
    box.append(ul);
  }
  if (walk.unlisted.length) {
    box.append(el('h3', '', 'Reported but not on the list: ' + walk.unlisted.length));
    const ul = el('ul');
    for (const p of walk.unlisted)
      ul.append(el('li', 'address', p.address + ' ' + (p.type || '') + ': ' + p.changes + ' changes, last ' + utcText(p.last)));
    box.append(ul);
  }
  return box;
}

function drawChannel(c) {
  const box = el('section', 'channel');
  box.dataset.channel = c.channel;
  const head = el('div', 'channel-head');
  const words = LINE_WORDS[c.line] || [c.line, 'line-noport'];
  const line = el('span', 'line ' + words[1], 'Line ' + words[0]);
  line.dataset.line = c.line;
  head.append(el('h2', '', 'Channel ' + c.channel + ' \u00b7 ' + c.port), line);
  box.append(head);
  const diag = el('ul', 'diag');
  for (const [name, value] of [['SILENCE', c.diag.SILENCE + ' s'], ['MESSAGES', c.diag.MESSAGES],
                               ['LOSSES', c.diag.LOSSES], ['NOISE', c.diag.NOISE], ['KNOWN', c.diag.KNOWN]]) {
    const li = el('li', '', name + ' ');
    li.append(el('b', '', value));
    diag.append(li);
  }
  box.append(diag);
  if (!c.diag.KNOWN)
    box.append(el('p', 'unknown', 'States unknown until the panel is reset: a point shown at rest may be in alarm.'));
  if (!c.points.length) box.append(el('p', 'quiet', 'No active points.'));
  let group = null, key = '';
  for (const p of c.points) {
    const k = p.bus + '/' + p.slot;
    if (k !== key) {
      key = k;
      const g = el('div', 'group');
      g.append(el('h3', '', 'Bus ' + pad(p.bus) + ' \u00b7 Slot ' + pad(p.slot)));
      group = el('ul', 'points');
      g.append(group);
      box.append(g);
    }
    group.append(pointRow(p));
  }
  if (c.walk) box.append(drawWalk(c.walk));
  return box;
}

function drawState(s) {
  if (run !== null && s.run !== run) events = [];
  run = s.run;
  byId('run').textContent = s.run;
  byId('host').textContent = s.host;
  const main = byId('channels');
  main.replaceChildren(...s.channels.map(drawChannel));
}

function eventRow(item) {
  const e = item.event;
  const li = el('li');
  li.dataset.id = item.id;
  const times = el('span', 'times');
  times.append(el('span', 'time utc', utcText(e.time)), el('span', 'time local', localText(e.time)));
  li.append(times, el('span', 'ch', 'channel ' + e.channel));
  if (e.line !== undefined) {
    li.classList.add('line-event');
    li.append(el('span', 'name', 'line ' + e.line), el('span', 'port', e.port));
  } else {
    const kind = { CKT: 'alarm', Regular: 'alarm', 'Line Shorted': 'trouble', Battery: 'trouble' }[e.type];
    if (kind && e.new) li.classList.add('to-' + kind);
    if (e.name !== undefined) li.append(el('span', 'name', e.name));
    li.append(el('span', 'address', e.address), el('span', 'type', e.type === null ? 'no type' : e.type),
              el('span', 'change', e.old + ' \u2192 ' + e.new));
    if (!e.known) li.append(el('span', 'quiet', '(states not known)'));
  }
  return li;
}

function drawEvents() {
  const list = byId('events');
  list.replaceChildren(...events.slice(0, SHOWN_EVENTS).map(eventRow));
  byId('no-events').hidden = events.length > 0;
}

function connect() {
  retry = null;
  if (source) source.close();
  source = new EventSource('/events');
  lastHeard = Date.now();
  const heard = () => { lastHeard = Date.now(); setLive(true); };
  source.addEventListener('state', (m) => { heard(); drawState(JSON.parse(m.data)); });
  source.addEventListener('events', (m) => {
    heard();
    events = JSON.parse(m.data).events.reverse();
    drawEvents();
  });
  source.addEventListener('event', (m) => {
    heard();
    const item = JSON.parse(m.data);
    if (events.length && item.id <= events[0].id) return;
    events.unshift(item);
    if (events.length > SHOWN_EVENTS) events.length = SHOWN_EVENTS;
    const list = byId('events');
    list.prepend(eventRow(item));
    while (list.children.length > SHOWN_EVENTS) list.lastChild.remove();
    byId('no-events').hidden = true;
  });
  source.addEventListener('tick', heard);
  source.onerror = () => away('connection closed');
}

function away(why) {
  setLive(false, why);
  if (source) { source.close(); source = null; }
  if (!retry) retry = setTimeout(connect, 1000);
}

// The gateway ticks every second: four without a word mean it is gone,
// even when no connection says so (a cable pulled, a machine frozen).
setInterval(() => { if (source && Date.now() - lastHeard > 4000) away('no word for 4 s'); }, 250);
connect();
)JS";

const char kHttpPageIcon[] = R"SVG(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16"><rect width="16" height="16" rx="3" fill="#b71c1c"/><path d="M8 3v6M8 11v2" stroke="#fff" stroke-width="2"/></svg>
)SVG";

}  // namespace zelhost
