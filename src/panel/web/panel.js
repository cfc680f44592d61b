// The DJ's control panel. Everything shown comes from floorvote over the WebSocket; every button
// sends one command back. Guest texts are only ever set as text, never parsed as HTML.
'use strict';

(function () {
  // ---- state ------------------------------------------------------------------------------------
  const state = { sections: {}, requests: new Map(), messages: new Map() };
  const selected = new Set();             // request ids ticked in the list shown
  const busy = new Set();                 // request ids with a command on its way
  const freshUntil = new Map();           // request id -> time its highlight ends
  const pendingCommands = new Map();      // req -> {ids, onDone}
  let loadedOnce = false;
  let currentList = 'pending';
  let socket = null;
  let nextReq = 1;
  let failedConnects = 0;
  let everConnected = false;
  const FRESH_MS = 30000;

  const $ = (id) => document.getElementById(id);

  // Builds an element; strings become text nodes, so nothing given here is read as HTML.
  function el(tag, attrs, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) {
      if (v === undefined || v === null || v === false) continue;
      if (k === 'class') e.className = v;
      else if (k === 'text') e.textContent = v;
      else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
      else if (k === 'dataset') Object.assign(e.dataset, v);
      else e.setAttribute(k, v === true ? '' : String(v));
    }
    for (const c of children.flat()) {
      if (c === undefined || c === null || c === false) continue;
      e.append(typeof c === 'string' || typeof c === 'number' ? document.createTextNode(String(c)) : c);
    }
    return e;
  }
  function setText(id, text) {
    const e = typeof id === 'string' ? $(id) : id;
    if (e && e.textContent !== text) e.textContent = text;
  }

  // ---- messages to the program ------------------------------------------------------------------
  function send(command, ids, onDone) {
    if (!socket || socket.readyState !== WebSocket.OPEN) {
      toast('Keine Verbindung zu Floorvote – bitte kurz warten.', 'error');
      return false;
    }
    const req = nextReq++;
    command.req = req;
    pendingCommands.set(req, { ids: ids || [], onDone });
    for (const id of ids || []) busy.add(id);
    socket.send(JSON.stringify(command));
    render();
    return true;
  }

  function toast(text, kind) {
    if (!text) return;
    const t = el('div', { class: 'toast ' + (kind || ''), role: kind === 'error' ? 'alert' : 'status', text });
    $('toasts').append(t);
    setTimeout(() => t.remove(), kind === 'error' ? 9000 : 4000);
  }

  // ---- messages from the program ----------------------------------------------------------------
  function applyState(m) {
    const known = new Set(state.requests.keys());
    if (m.full) {
      state.sections = {};
      state.requests.clear();
      state.messages.clear();
    }
    Object.assign(state.sections, m.sections || {});
    for (const [key, map] of [['requests', state.requests], ['messages', state.messages]]) {
      const delta = m[key];
      if (!delta) continue;
      for (const r of delta.upsert || []) map.set(r.id, r);
      for (const id of delta.remove || []) map.delete(id);
    }
    // Arrivals after the first load stand out for a while.
    if (loadedOnce) {
      const now = Date.now();
      for (const id of state.requests.keys()) if (!known.has(id)) freshUntil.set(id, now + FRESH_MS);
    }
    loadedOnce = true;
    for (const id of [...selected]) if (!state.requests.has(id)) selected.delete(id);
    render();
  }

  function applyResult(m) {
    const p = pendingCommands.get(m.req);
    pendingCommands.delete(m.req);
    if (p) for (const id of p.ids) busy.delete(id);
    if (m.ok) toast(m.text, 'ok');
    else if (m.text) toast(m.text, 'error');
    for (const f of m.failures || []) toast(f.text, 'error');
    if (p && p.onDone) p.onDone(m.ok);
    render();
  }

  // ---- the connection ---------------------------------------------------------------------------
  function connect() {
    const ws = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/ws');
    socket = ws;
    ws.onopen = () => {
      failedConnects = 0;
      everConnected = true;
      banner('');
    };
    ws.onmessage = (e) => {
      let m;
      try {
        m = JSON.parse(e.data);
      } catch (err) {
        return;
      }
      if (m.t === 'state') applyState(m);
      else if (m.t === 'result') applyResult(m);
      else if (m.t === 'error') toast(m.text, 'error');
    };
    ws.onclose = () => {
      if (socket !== ws) return;
      socket = null;
      // Commands on their way are lost with the connection; their buttons come back.
      for (const p of pendingCommands.values()) for (const id of p.ids) busy.delete(id);
      pendingCommands.clear();
      failedConnects++;
      if (failedConnects >= 3 && !everConnected) {
        banner('Keine Verbindung zu Floorvote. Läuft „floorvote run“? Nach einem Neustart das Bedienfeld mit „floorvote panel“ neu öffnen.');
      } else if (failedConnects >= 3) {
        banner('Verbindung zu Floorvote unterbrochen. Nach einem Neustart von „floorvote run“ das Bedienfeld mit „floorvote panel“ neu öffnen.');
      } else {
        banner('Verbindung zu Floorvote unterbrochen – verbinde neu …');
      }
      render();
      setTimeout(connect, Math.min(1000 * failedConnects, 5000));
    };
  }

  let linkProblem = '';
  function banner(text) {
    linkProblem = text;
    showBanner();
  }
  // A lost link to floorvote first; else a failed connection to the event.
  function showBanner() {
    const b = $('banner');
    const ev = state.sections.event;
    const text = linkProblem || (ev && ev.connectionError ? 'Verbindung zum Event fehlgeschlagen: ' + ev.connectionError : '');
    setText(b, text);
    b.hidden = !text;
  }

  // ---- rendering --------------------------------------------------------------------------------
  const listNames = { pending: 'Offen', queue: 'Warteschlange', top: 'Top-Votes', declined: 'Abgelehnt', played: 'Gespielt' };

  function idsOf(name) {
    const lists = state.sections.lists || {};
    return (lists[name] || []).filter((id) => state.requests.has(id));
  }

  function requestActions(r, compact) {
    const b = (kind, label, title, cls) =>
      el('button', {
        type: 'button', class: cls + (compact ? '' : ' small'), title, disabled: busy.has(r.id),
        dataset: { act: kind, id: String(r.id) }, text: label,
      });
    const out = [];
    if (r.status === 'pending' || r.status === 'declined') out.push(b('confirm', compact ? '✓' : 'Bestätigen', 'Bestätigen', 'ok'));
    if (r.status === 'confirmed') out.push(b('played', compact ? '♪' : 'Gespielt', 'Als gespielt markieren', 'play'));
    if (r.status === 'pending' || r.status === 'confirmed') out.push(b('decline', compact ? '✗' : 'Ablehnen', 'Ablehnen', 'no'));
    return out;
  }

  function requestItem(r, opts) {
    const fresh = (freshUntil.get(r.id) || 0) > Date.now();
    const meta = [r.artist, r.guest ? 'von ' + r.guest : '', r.bpm ? Math.round(r.bpm) + ' BPM' : '', r.key || '']
      .filter(Boolean).join(' · ');
    return el('li', { class: 'req' + (fresh ? ' new' : ''), dataset: { id: String(r.id) } },
      opts.checkbox ? el('input', {
        type: 'checkbox', 'aria-label': 'Auswählen', checked: selected.has(r.id), dataset: { pick: String(r.id) },
      }) : null,
      el('div', { class: 'what' },
        el('div', { class: 'title' }, r.title || '–', fresh ? el('span', { class: 'badge', text: 'NEU' }) : null),
        el('div', { class: 'meta', text: meta })),
      el('span', { class: 'votes', title: 'Stimmen', text: '▲ ' + r.votes }),
      el('div', { class: 'actions' }, requestActions(r, opts.compact)));
  }

  // Rebuilds a list only when what it shows changed, so a click is never lost to a redraw.
  function syncList(container, items, key) {
    if (container.dataset.key === key) return;
    container.dataset.key = key;
    const active = document.activeElement;
    container.replaceChildren(...items);
    // A reply being typed sits in a reused form: keep the cursor in it.
    if (active && active !== document.body && document.contains(active) && document.activeElement !== active) active.focus();
  }

  function renderRequests() {
    const ids = idsOf(currentList);
    const checkbox = currentList !== 'played';
    const key = JSON.stringify([currentList, ids.map((id) => state.requests.get(id)), [...selected], [...busy],
      [...freshUntil].filter(([, t]) => t > Date.now()).map(([id]) => id)]);
    syncList($('request-list'), ids.map((id) => requestItem(state.requests.get(id), { checkbox })), key);
    $('request-empty').hidden = ids.length > 0;
    for (const b of document.querySelectorAll('.tabs button')) b.classList.toggle('active', b.dataset.list === currentList);
    for (const c of document.querySelectorAll('[data-count]')) setText(c, String(idsOf(c.dataset.count).length));
    const shown = ids.filter((id) => selected.has(id));
    setText('selected-count', shown.length + ' ausgewählt');
    $('select-all').checked = ids.length > 0 && shown.length === ids.length;
    $('bulk').hidden = !checkbox;
    const statuses = new Set(shown.map((id) => state.requests.get(id).status));
    for (const b of document.querySelectorAll('[data-bulk]')) {
      const kind = b.dataset.bulk;
      const fits = kind === 'confirm' ? statuses.has('pending') || statuses.has('declined')
        : kind === 'decline' ? statuses.has('pending') || statuses.has('confirmed')
          : statuses.has('confirmed');
      b.disabled = shown.length === 0 || !fits;
    }
  }

  const replyOpen = new Map();  // message id -> the reply form element (kept across redraws)

  function replyForm(m) {
    if (replyOpen.has(m.id)) return replyOpen.get(m.id);
    const templates = ((state.sections.templates || {}).reply) || [];
    const input = el('textarea', { rows: 2, maxlength: 2000, placeholder: 'Antwort an ' + (m.guest || 'den Gast') + ' …', 'aria-label': 'Antwort' });
    const select = templates.length ? el('select', {
      'aria-label': 'Antwortvorlage',
      onchange: (e) => { if (e.target.value) input.value = e.target.value; },
    }, el('option', { value: '', text: 'Vorlage wählen …' }), templates.map((t) => el('option', { value: t, text: t }))) : null;
    const form = el('form', {
      class: 'reply',
      onsubmit: (e) => {
        e.preventDefault();
        const text = input.value.trim();
        if (!text) return toast('Bitte eine Antwort eingeben.', 'error');
        send({ t: 'reply', messageId: m.id, text }, [], (ok) => {
          if (ok) { replyOpen.delete(m.id); renderMessages(true); }
        });
      },
    }, select, input, el('div', { class: 'row' },
      el('button', { type: 'submit', class: 'ok small', text: 'Antwort senden' }),
      el('button', { type: 'button', class: 'small', text: 'Abbrechen', onclick: () => { replyOpen.delete(m.id); renderMessages(true); } })));
    replyOpen.set(m.id, form);
    return form;
  }

  function timeText(iso) {
    const d = new Date(iso);
    return isNaN(d) ? '' : d.toLocaleTimeString('de-DE', { hour: '2-digit', minute: '2-digit' });
  }

  function messageItem(m) {
    return el('li', { class: 'msg' + (m.isDjReply ? ' dj' : '') + (!m.isRead && !m.isDjReply ? ' unread' : ''), dataset: { id: String(m.id) } },
      el('div', { class: 'head' },
        el('span', { class: 'who', text: m.isDjReply ? 'DJ' : (m.guest || 'Gast') }),
        el('span', { class: 'when', text: timeText(m.createdAt) }),
        m.isDjReply ? null : el('button', { type: 'button', class: 'small', dataset: { reply: String(m.id) }, text: 'Antworten' }),
        el('button', { type: 'button', class: 'no small', dataset: { del: String(m.id) }, text: 'Löschen' })),
      el('div', { class: 'content', text: m.content }),
      replyOpen.has(m.id) ? replyOpen.get(m.id) : null);
  }

  function messageIds() {
    const order = ((state.sections.lists || {}).messages || []).filter((id) => state.messages.has(id));
    return order.slice().reverse();  // newest first
  }

  function renderMessages(force) {
    const ids = messageIds();
    const list = $('message-list');
    const key = JSON.stringify([ids.map((id) => state.messages.get(id)), [...replyOpen.keys()]]);
    if (force) list.dataset.key = '';
    // Open reply forms keep what was typed: they are reused, not rebuilt.
    syncList(list, ids.map((id) => messageItem(state.messages.get(id))), key);
    for (const id of [...replyOpen.keys()]) if (!state.messages.has(id)) replyOpen.delete(id);
    $('message-empty').hidden = ids.length > 0;
    setText('message-count', String(ids.length));
  }

  function renderTemplates() {
    const templates = ((state.sections.templates || {}).broadcast) || [];
    const select = $('broadcast-template');
    const key = JSON.stringify(templates);
    if (select.dataset.key === key) return;
    select.dataset.key = key;
    select.replaceChildren(el('option', { value: '', text: templates.length ? 'Vorlage wählen …' : 'Keine Vorlagen' }),
      ...templates.map((t) => el('option', { value: t, text: t })));
    select.hidden = templates.length === 0;
  }

  function renderHeader() {
    const ev = state.sections.event || {};
    setText('event-name', ev.name || ev.id || 'Floorvote');
    setText('dj-name', ev.djName ? 'DJ ' + ev.djName : '');
    document.title = (ev.name ? ev.name + ' – ' : '') + 'Floorvote Bedienfeld';
    const ch = state.sections.channel || {};
    const linked = socket && socket.readyState === WebSocket.OPEN;
    const chEl = $('channel');
    setText(chEl, linked ? 'Echtzeitkanal: ' + (ch.label || '…') : 'Floorvote: nicht verbunden');
    chEl.classList.toggle('good', linked && ch.state === 2);
    chEl.classList.toggle('bad', !linked || ch.state === 3 || ch.state === 0);
    chEl.classList.toggle('wait', linked && ch.state === 1);
    chEl.title = ch.message ? 'Echtzeitkanal: ' + ch.message : 'Echtzeitkanal zum Server';
    const sw = $('online-switch');
    sw.checked = !!ev.online;
    sw.disabled = !linked || !ev.loaded || sw.dataset.busy === '1';
    setText('online-label', ev.online ? 'online' : 'offline');
    sw.parentElement.classList.toggle('on', !!ev.online);
    const counts = state.sections.counts || {};
    setText('guests', (counts.guests || 0) + (counts.guests === 1 ? ' Gast' : ' Gäste'));
    const np = state.sections.nowPlaying;
    setText('np-title', np ? np.title : 'Kein Titel gemeldet');
    setText('np-artist', np ? np.artist : '');
    setText('np-votes', np && (np.up || np.down) ? '👍 ' + np.up + '   👎 ' + np.down : '');
    showBanner();
  }

  function renderStats() {
    const c = state.sections.counts || {};
    const rows = [['Offen', c.pending], ['Bestätigt', c.confirmed], ['Abgelehnt', c.declined], ['Gespielt', c.played],
      ['Stimmen', c.votes], ['Nachrichten', c.messages], ['davon ungelesen', c.unread], ['Gäste jetzt', c.guests],
      ['Gäste insgesamt', c.uniqueGuests]];
    const key = JSON.stringify(rows);
    const dl = $('stats');
    if (dl.dataset.key === key) return;
    dl.dataset.key = key;
    dl.replaceChildren(...rows.flatMap(([k, v]) => [el('dt', { text: k }), el('dd', { text: String(v || 0) })]));
  }

  // Cards of the subsystems that are there (overlay, DJ software, CDJ library, …).
  function renderCards() {
    const cards = state.sections.cards || [];
    const box = $('cards');
    const key = JSON.stringify(cards);
    if (box.dataset.key === key) return;
    box.dataset.key = key;
    box.replaceChildren(...cards.map((c) => {
      const section = el('section', { class: 'card', dataset: { card: String(c.id) } }, el('h2', { text: c.title || '' }));
      if (Array.isArray(c.rows) && c.rows.length) {
        section.append(el('dl', { class: 'rows' }, c.rows.flatMap((r) => [el('dt', { text: String(r[0]) }), el('dd', { text: String(r[1]) })])));
      }
      for (const l of Array.isArray(c.lists) ? c.lists : []) {
        section.append(el('h3', { text: l.title || '' }));
        const items = Array.isArray(l.items) ? l.items : [];
        section.append(items.length ? el('ul', { class: 'items' }, items.map((i) => el('li', { text: String(i) })))
          : el('p', { class: 'muted', text: l.empty || '–' }));
      }
      const actions = Array.isArray(c.actions) ? c.actions : [];
      if (actions.length) {
        const box2 = el('div', { class: 'card-actions' });
        for (const a of actions) {
          const choices = Array.isArray(a.choices) ? a.choices : null;
          const select = choices ? el('select', { 'aria-label': a.label }, choices.map((ch) => el('option', { value: String(ch.value), text: String(ch.label) }))) : null;
          const button = el('button', {
            type: 'button', class: 'small', text: a.label, disabled: choices && choices.length === 0,
            dataset: { action: String(a.name) },
            onclick: () => {
              const args = Object.assign({}, a.args || {});
              if (select) args.value = select.value;
              button.disabled = true;
              if (!send({ t: 'action', name: a.name, args }, [], () => { button.disabled = false; })) button.disabled = false;
            },
          });
          box2.append(select ? el('div', { class: 'row' }, select, button) : button);
        }
        section.append(box2);
      }
      return section;
    }));
  }

  function renderCompact() {
    const queue = idsOf('queue').slice(0, 5);
    const pending = idsOf('pending').slice(0, 8);
    const key = JSON.stringify([queue.map((id) => state.requests.get(id)), pending.map((id) => state.requests.get(id)), [...busy]]);
    syncList($('compact-queue'), queue.map((id) => requestItem(state.requests.get(id), { compact: true })), 'q' + key);
    syncList($('compact-pending'), pending.map((id) => requestItem(state.requests.get(id), { compact: true })), 'p' + key);
    const newest = messageIds().map((id) => state.messages.get(id)).find((m) => !m.isDjReply);
    setText('compact-message', newest ? (newest.guest || 'Gast') + ': ' + newest.content : 'Keine Nachrichten.');
  }

  function isCompact() { return document.body.classList.contains('compact'); }

  function render() {
    renderHeader();
    if (isCompact()) {
      renderCompact();
      return;
    }
    renderRequests();
    renderMessages(false);
    renderTemplates();
    renderStats();
    renderCards();
  }

  function setCompact(on) {
    document.body.classList.toggle('compact', on);
    $('full').hidden = on;
    $('compact').hidden = !on;
    setText('compact-toggle', on ? 'Alles zeigen' : 'Kompakt');
    try { localStorage.setItem('floorvote.compact', on ? '1' : '0'); } catch (e) { /* private mode */ }
    if (on !== (location.hash === '#kompakt')) history.replaceState(null, '', on ? '#kompakt' : location.pathname);
    for (const l of document.querySelectorAll('[data-key]')) l.dataset.key = '';
    render();
  }

  // ---- input ------------------------------------------------------------------------------------
  function statusCommand(kind, ids) {
    const todo = ids.filter((id) => !busy.has(id));
    if (!todo.length) return;
    for (const id of todo) selected.delete(id);
    send({ t: kind, ids: todo }, todo);
  }

  document.addEventListener('click', (e) => {
    const t = e.target.closest('button');
    if (!t || t.disabled) return;
    if (t.dataset.act) statusCommand(t.dataset.act, [Number(t.dataset.id)]);
    else if (t.dataset.bulk) statusCommand(t.dataset.bulk, idsOf(currentList).filter((id) => selected.has(id)));
    else if (t.dataset.list) { currentList = t.dataset.list; render(); }
    else if (t.dataset.reply) { const id = Number(t.dataset.reply); if (!replyOpen.has(id)) { replyForm(state.messages.get(id)); renderMessages(true); } }
    else if (t.dataset.del) {
      const id = Number(t.dataset.del);
      send({ t: 'deleteMessage', messageId: id });
    }
  });
  document.addEventListener('change', (e) => {
    const box = e.target;
    if (box.dataset && box.dataset.pick) {
      const id = Number(box.dataset.pick);
      if (box.checked) selected.add(id); else selected.delete(id);
      render();
    }
  });
  $('select-all').addEventListener('change', (e) => {
    for (const id of idsOf(currentList)) if (e.target.checked) selected.add(id); else selected.delete(id);
    render();
  });
  $('delete-all').addEventListener('click', () => {
    const n = state.messages.size;
    if (!n) return toast('Keine Nachrichten zum Löschen.', 'ok');
    if (window.confirm('Wirklich alle ' + n + ' Nachrichten löschen? Das lässt sich nicht rückgängig machen.')) send({ t: 'deleteAllMessages' });
  });
  $('broadcast-template').addEventListener('change', (e) => { if (e.target.value) $('broadcast-text').value = e.target.value; });
  $('broadcast-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const text = $('broadcast-text').value.trim();
    if (!text) return toast('Bitte einen Text für den Rundruf eingeben.', 'error');
    send({ t: 'broadcast', text }, [], (ok) => { if (ok) $('broadcast-text').value = ''; });
  });
  $('online-switch').addEventListener('change', (e) => {
    const sw = e.target;
    const want = sw.checked;
    sw.checked = !want;  // shows the event's real state until the program says otherwise
    sw.dataset.busy = '1';
    if (!send({ t: 'online', on: want }, [], () => { sw.dataset.busy = ''; render(); })) sw.dataset.busy = '';
  });
  $('compact-toggle').addEventListener('click', () => setCompact(!isCompact()));

  // Highlights end on their own.
  setInterval(() => {
    const now = Date.now();
    let ended = false;
    for (const [id, t] of freshUntil) if (t <= now) { freshUntil.delete(id); ended = true; }
    if (ended) render();
  }, 1000);

  let stored = null;
  try { stored = localStorage.getItem('floorvote.compact'); } catch (e) { /* private mode */ }
  setCompact(location.hash === '#kompakt' || (location.hash === '' && stored === '1'));
  window.addEventListener('hashchange', () => setCompact(location.hash === '#kompakt'));
  connect();
})();
