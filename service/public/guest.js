'use strict';
// The guest page of one event: name, requests with suggestions, votes, messages to the DJ, and
// what the DJ sends back, live over the service's realtime channel. Every text from the service
// or another guest is set as text, never as HTML.
(function () {
  const $ = (id) => document.getElementById(id);
  const eventId = decodeURIComponent(location.pathname.split('/')[2] || '');

  function randomId() {
    if (window.crypto && crypto.randomUUID) return crypto.randomUUID();
    const b = new Uint8Array(16);
    crypto.getRandomValues(b);
    return Array.from(b, (x) => x.toString(16).padStart(2, '0')).join('');
  }
  function stored(key, make) {
    try {
      let v = localStorage.getItem(key);
      if (!v && make) { v = make(); localStorage.setItem(key, v); }
      return v || '';
    } catch (e) {
      return make ? make() : '';
    }
  }
  function store(key, value) {
    try { localStorage.setItem(key, value); } catch (e) { /* private mode: kept for this visit only */ }
  }

  const sessionId = stored('floorvote-session', randomId);
  let name = stored('floorvote-name');
  let requests = new Map();
  let mine = new Set();
  let voted = new Set();
  let limits = { requests: 3, votes: 15 };
  let chosenTrack = null;
  let joined = false;

  function el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (cls) e.className = cls;
    return e;
  }
  function time(iso) {
    const d = new Date(iso);
    return isNaN(d) ? '' : d.toLocaleTimeString('de-DE', { hour: '2-digit', minute: '2-digit' });
  }
  let noticeTimer = null;
  function notice(text, ok) {
    const n = $('notice');
    n.textContent = text;
    n.className = ok ? 'ok' : '';
    n.hidden = false;
    clearTimeout(noticeTimer);
    noticeTimer = setTimeout(() => { n.hidden = true; }, 6000);
  }

  const socket = io({ path: '/ws/', transports: ['websocket', 'polling'] });

  // Every action answers {ok, error}; without an answer in time the guest hears so.
  function ask(event, payload) {
    return new Promise((resolve) => {
      if (!socket.connected) return resolve({ ok: false, error: 'Keine Verbindung – bitte gleich noch einmal versuchen.' });
      socket.timeout(10000).emit(event, payload, (err, answer) => {
        if (err || !answer) resolve({ ok: false, error: 'Keine Antwort – bitte gleich noch einmal versuchen.' });
        else resolve(answer);
      });
    });
  }

  function renderEvent(ev) {
    $('event-name').textContent = ev.event_name || 'Musikwünsche';
    document.title = (ev.event_name || 'Musikwünsche') + ' – Musikwünsche';
    $('dj-name').textContent = ev.dj_name ? 'DJ ' + ev.dj_name : '';
    $('welcome').textContent = ev.welcome || '';
    $('welcome').hidden = !ev.welcome;
    limits = ev.limits || limits;
    renderNowPlaying(ev.now_playing);
    $('status').textContent = ev.is_active ? 'Verbunden.' : 'Der DJ nimmt gerade keine Wünsche an.';
  }

  function renderNowPlaying(np) {
    const has = np && (np.track_title || np.track_artist);
    $('now-playing').hidden = !has;
    if (has) $('np-track').textContent = [np.track_artist, np.track_title].filter(Boolean).join(' – ');
  }

  const stateLabel = { confirmed: 'kommt bald', played: 'gespielt' };
  const order = { pending: 0, confirmed: 1, played: 2 };

  function renderRequests() {
    const list = $('requests');
    list.textContent = '';
    const all = Array.from(requests.values()).filter((r) => r.status !== 'declined');
    all.sort((a, b) => (order[a.status] ?? 3) - (order[b.status] ?? 3) || b.vote_count - a.vote_count || a.id - b.id);
    for (const r of all) {
      const li = el('li');
      li.dataset.id = r.id;
      if (mine.has(r.id)) li.classList.add('mine');
      li.appendChild(el('span', r.vote_count, 'votes'));
      const song = el('span', r.title, 'song');
      if (r.artist) song.appendChild(el('small', r.artist));
      li.appendChild(song);
      if (r.status === 'pending') {
        const b = el('button', voted.has(r.id) ? '✓' : '+1');
        b.type = 'button';
        b.disabled = voted.has(r.id);
        b.setAttribute('aria-label', 'Für diesen Wunsch stimmen');
        b.addEventListener('click', () => vote(r.id, b));
        li.appendChild(b);
      } else {
        li.appendChild(el('span', stateLabel[r.status] || '', 'state'));
      }
      list.appendChild(li);
    }
    $('requests-empty').hidden = all.length > 0;
  }

  function addThread(m) {
    if ($('thread').querySelector(`[data-id="${Number(m.id)}"]`)) return;
    const li = el('li', m.content, m.is_dj_reply ? 'dj' : 'me');
    li.dataset.id = m.id;
    li.insertBefore(el('small', (m.is_dj_reply ? 'DJ' : 'Du') + ' · ' + time(m.created_at)), li.firstChild);
    $('thread').appendChild(li);
  }

  function addBroadcast(b) {
    if ($('broadcasts').querySelector(`[data-id="${Number(b.id)}"]`)) return;
    const li = el('li', b.content);
    li.dataset.id = b.id;
    li.insertBefore(el('small', 'Durchsage · ' + time(b.created_at)), li.firstChild);
    if (b.image_url && /^https?:\/\//.test(b.image_url)) {
      const img = document.createElement('img');
      img.src = b.image_url;
      img.alt = '';
      li.appendChild(img);
    }
    $('broadcasts').insertBefore(li, $('broadcasts').firstChild);
    $('broadcasts-empty').hidden = true;
  }

  function showGuest() {
    const named = !!name;
    $('name-form').hidden = named;
    $('guest').hidden = !named;
    $('hello-text').textContent = named ? 'Hallo, ' + name + '!' : '';
    if (!named) $('name-input').focus();
  }

  async function join() {
    const a = await ask('guest-join', { eventId, sessionId, name });
    if (!a.ok) {
      $('status').textContent = a.error;
      return;
    }
    joined = true;
    if (a.name) name = a.name;
    renderEvent(a.event);
    requests = new Map(a.requests.map((r) => [r.id, r]));
    mine = new Set(a.mine);
    voted = new Set(a.voted);
    renderRequests();
    $('thread').textContent = '';
    a.messages.forEach(addThread);
    $('broadcasts').textContent = '';
    $('broadcasts-empty').hidden = a.broadcasts.length > 0;
    a.broadcasts.forEach(addBroadcast);
    showGuest();
  }

  async function vote(id, button) {
    button.disabled = true;
    const a = await ask('guest-vote', { requestId: id });
    if (a.ok) {
      voted.add(id);
      requests.set(id, a.request);
      renderRequests();
      notice('Deine Stimme zählt!', true);
    } else {
      button.disabled = false;
      notice(a.error);
    }
  }

  socket.on('connect', join);
  socket.on('disconnect', () => { $('status').textContent = 'Verbindung unterbrochen – verbinde neu …'; });
  socket.on('connect_error', () => { $('status').textContent = 'Keine Verbindung zum Event – versuche es weiter …'; });
  // New requests and changed counts or states, batched by the service.
  socket.on('requests-changed', (p) => {
    if (!p) return;
    for (const r of p.added || []) requests.set(r.id, r);
    for (const c of p.changed || []) {
      const r = requests.get(c.id);
      if (!r) continue;
      const confirmedNow = r.status !== 'confirmed' && c.status === 'confirmed';
      r.vote_count = c.vote_count;
      r.status = c.status;
      if (confirmedNow && mine.has(r.id)) notice('Der DJ hat deinen Wunsch „' + r.title + '“ angenommen!', true);
    }
    renderRequests();
  });
  socket.on('broadcast', (b) => { if (b) { addBroadcast(b); notice('Neue Durchsage vom DJ.', true); } });
  socket.on('dj-reply', (m) => { if (m) { addThread(m); notice('Der DJ hat dir geantwortet.', true); } });
  socket.on('now-playing', renderNowPlaying);

  $('name-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const wanted = $('name-input').value.trim();
    if (!wanted) return;
    if (!joined) return notice('Keine Verbindung – bitte gleich noch einmal versuchen.');
    const a = await ask('guest-name', { name: wanted });
    if (!a.ok) return notice(a.error);
    name = a.name;
    store('floorvote-name', name);
    showGuest();
  });
  $('rename').addEventListener('click', () => {
    $('name-input').value = name;
    name = '';
    showGuest();
  });

  let searchTimer = null;
  let searchSeq = 0;
  $('title-input').addEventListener('input', () => {
    chosenTrack = null;
    clearTimeout(searchTimer);
    const q = $('title-input').value.trim();
    if (q.length < 2) { $('suggestions').hidden = true; return; }
    searchTimer = setTimeout(async () => {
      const seq = ++searchSeq;
      const a = await ask('guest-search', { q });
      if (seq !== searchSeq || !a.ok) return;
      const ul = $('suggestions');
      ul.textContent = '';
      for (const t of a.tracks) {
        const li = el('li');
        const b = el('button', [t.artist, t.title].filter(Boolean).join(' – '));
        b.type = 'button';
        b.addEventListener('click', () => {
          chosenTrack = t;
          $('title-input').value = t.title;
          $('artist-input').value = t.artist;
          ul.hidden = true;
        });
        li.appendChild(b);
        ul.appendChild(li);
      }
      ul.hidden = a.tracks.length === 0;
    }, 250);
  });

  $('request-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const title = $('title-input').value;
    const artist = $('artist-input').value;
    const payload = chosenTrack && chosenTrack.title === title && chosenTrack.artist === artist
      ? { trackId: chosenTrack.id } : { title, artist };
    $('request-send').disabled = true;
    const a = await ask('guest-request', payload);
    $('request-send').disabled = false;
    if (!a.ok) return notice(a.error);
    requests.set(a.request.id, a.request);
    if (a.duplicate) {
      voted.add(a.request.id);
      notice(a.voted ? 'Den Wunsch gab es schon – deine Stimme wurde gezählt.' : 'Diesen Wunsch gibt es schon.', true);
    } else {
      mine.add(a.request.id);
      voted.add(a.request.id);
      notice('Dein Wunsch ist angekommen!', true);
    }
    renderRequests();
    $('title-input').value = '';
    $('artist-input').value = '';
    $('suggestions').hidden = true;
    chosenTrack = null;
  });

  $('message-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    $('message-send').disabled = true;
    const a = await ask('guest-message', { content: $('message-input').value });
    $('message-send').disabled = false;
    if (!a.ok) return notice(a.error);
    addThread(a.message);
    $('message-input').value = '';
    notice('Deine Nachricht ist beim DJ.', true);
  });

  showGuest();
})();
