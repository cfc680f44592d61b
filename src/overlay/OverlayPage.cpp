#include "overlay/OverlayPage.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace fv::overlay {

namespace {

// Shortest text of a number for CSS; a non-finite value never reaches the page.
std::string num(double v) {
    if (!std::isfinite(v)) v = 0;
    return fmt::format("{}", v);
}

// A theme value inside a CSS declaration: characters that could end the declaration or the
// style element are dropped.
std::string cssValue(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == ';' || c == '{' || c == '}' || c == '<' || c == '>' || c == '"' || c == '\'' || c == '\\' ||
            c == '\n' || c == '\r')
            continue;
        out.push_back(c);
    }
    return out;
}

// Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on a literal plus a temporary string.
std::string fontFamily(OverlayFont f) {
    std::string s = "'";
    s += rawValue(f);
    s += "', sans-serif";
    return s;
}

// Families that come in several weights; the others are single-weight display faces and the
// stylesheet API refuses a weight list for them.
std::string_view fontWeights(OverlayFont f) {
    switch (f) {
        case OverlayFont::orbitron:
        case OverlayFont::rajdhani:
        case OverlayFont::exo2:
        case OverlayFont::inter:
        case OverlayFont::spaceGrotesk:
        case OverlayFont::sora:
        case OverlayFont::montserrat:
            return ":wght@400;600;700";
        case OverlayFont::courierPrime:
            return ":wght@400;700";
        default:
            return "";
    }
}

// JSON inside a script element: "<" is escaped so no text can close the element.
std::string scriptJson(const ordered_json& j) {
    std::string s = j.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '<')
            out += "\\u003c";
        else if (c == '>')
            out += "\\u003e";
        else
            out.push_back(c);
    }
    return out;
}

double scale(double s) { return std::isfinite(s) && s > 0 ? std::clamp(s, 0.1, 10.0) : 1.0; }

constexpr std::string_view baseCss = R"CSS(
*{margin:0;padding:0;box-sizing:border-box}
html,body{width:100%;height:100%;overflow:hidden;background:transparent}
body{position:relative;perspective:1200px;color:var(--text);font-family:var(--font-body);-webkit-font-smoothing:antialiased}
body.editing{background:var(--page-bg)}
.widget{position:absolute;display:none;background:var(--bg);background:color-mix(in srgb,var(--bg) calc(var(--bg-opacity)*100%),transparent);border:var(--border-w) solid var(--border);border-radius:var(--radius);box-shadow:0 0 var(--shadow-blur) color-mix(in srgb,var(--shadow) 55%,transparent);backdrop-filter:blur(var(--blur));-webkit-backdrop-filter:blur(var(--blur));padding:14px 18px;min-width:320px;max-width:520px;color:var(--text);font-family:var(--font-body);font-size:var(--sz-body)}
.widget.visible{display:block}
.widget::before{content:"";position:absolute;inset:calc(var(--border-w)*-1);border-radius:inherit;pointer-events:none}
.widget-label{font-family:var(--font-meta);font-size:var(--sz-meta);color:var(--primary);text-transform:uppercase;letter-spacing:.12em;margin-bottom:6px}
.widget-title{font-family:var(--font-title);font-size:var(--sz-title);font-weight:700;line-height:1.15;overflow-wrap:anywhere}
.widget-artist{font-size:var(--sz-body);opacity:.85;margin-top:2px;overflow-wrap:anywhere}
.widget-meta{font-family:var(--font-meta);font-size:var(--sz-meta);color:var(--accent);margin-top:6px;overflow-wrap:anywhere}
.widget-content{font-size:var(--sz-body);line-height:1.35;white-space:pre-wrap;overflow-wrap:anywhere}
.np-votes{display:flex;align-items:center;gap:10px;margin-top:10px;font-family:var(--font-meta);font-size:var(--sz-meta)}
.np-vote-bar{flex:1;height:6px;border-radius:3px;background:color-mix(in srgb,var(--accent) 35%,transparent);overflow:hidden}
.np-vote-fill{height:100%;width:50%;background:var(--primary);transition:width .4s ease}
.np-votes.style-counter .np-vote-bar{display:none}
#w-guestcount,#w-sponsor{min-width:0}
.gc-label{font-family:var(--font-meta);font-size:var(--sz-meta);color:var(--primary);text-transform:uppercase;letter-spacing:.1em;margin-right:8px}
.gc-count{font-family:var(--font-title);font-size:var(--sz-body);font-weight:700}
#w-ad{min-width:0;max-width:none}
#w-ad.ad-original{background:none;border:none;box-shadow:none;backdrop-filter:none;-webkit-backdrop-filter:none;padding:0}
#w-ad.ad-original::before{display:none}
#w-ad-content img{max-width:100%;display:block}
body.editing [data-draggable="true"]{outline:2px dashed color-mix(in srgb,var(--primary) 70%,white);outline-offset:3px;cursor:move;touch-action:none;user-select:none}
.fv-handle{position:absolute;right:-7px;bottom:-7px;width:14px;height:14px;border-radius:3px;background:var(--primary);cursor:nwse-resize}
@keyframes fvSlideRight{from{translate:120px 0;opacity:0}to{translate:0 0;opacity:1}}
@keyframes fvSlideLeft{from{translate:-120px 0;opacity:0}to{translate:0 0;opacity:1}}
@keyframes fvSlideTop{from{translate:0 -80px;opacity:0}to{translate:0 0;opacity:1}}
@keyframes fvSlideBottom{from{translate:0 80px;opacity:0}to{translate:0 0;opacity:1}}
@keyframes fvFade{from{opacity:0}to{opacity:1}}
@keyframes fvZoomIn{from{scale:.6;opacity:0}to{scale:1;opacity:1}}
@keyframes fvZoomPop{0%{scale:.3;opacity:0}60%{scale:1.12;opacity:1}100%{scale:1;opacity:1}}
@keyframes fvBounce{0%{translate:0 -60px;opacity:0}45%{translate:0 0;opacity:1}65%{translate:0 -16px}80%{translate:0 0}92%{translate:0 -5px}100%{translate:0 0;opacity:1}}
@keyframes fvElastic{0%{scale:.4;opacity:0}45%{scale:1.15;opacity:1}65%{scale:.94}82%{scale:1.04}100%{scale:1;opacity:1}}
@keyframes fvPerspective{from{rotate:x -90deg;opacity:0}to{rotate:x 0deg;opacity:1}}
@keyframes fvFlipSide{from{rotate:y 90deg;opacity:0}to{rotate:y 0deg;opacity:1}}
@keyframes fvSwingIn{0%{rotate:25deg;opacity:0}40%{rotate:-12deg;opacity:1}65%{rotate:6deg}85%{rotate:-2deg}100%{rotate:0deg;opacity:1}}
@keyframes fvGlitch{0%{translate:-10px 0;opacity:0;clip-path:inset(0 0 60% 0)}20%{translate:8px 0;opacity:1;clip-path:inset(40% 0 0 0)}40%{translate:-5px 0;clip-path:inset(10% 0 35% 0)}60%{translate:3px 0;clip-path:inset(0 0 0 0)}80%{translate:-1px 0}100%{translate:0 0;opacity:1;clip-path:inset(0 0 0 0)}}
@keyframes fvNeonFlicker{0%{opacity:0;filter:brightness(2)}10%{opacity:.8}20%{opacity:.1}32%{opacity:1}44%{opacity:.3}58%{opacity:1;filter:brightness(1.6)}100%{opacity:1;filter:brightness(1)}}
@keyframes fvScanline{from{clip-path:inset(0 100% 0 0);filter:brightness(1.8)}to{clip-path:inset(0 0 0 0);filter:brightness(1)}}
@keyframes fvWipeTop{from{clip-path:inset(0 0 100% 0)}to{clip-path:inset(0 0 0 0)}}
@keyframes fvPixelFade{from{filter:blur(10px) contrast(3);opacity:0}to{filter:blur(0) contrast(1);opacity:1}}
@keyframes fvTypewriter{from{clip-path:inset(0 100% 0 0)}to{clip-path:inset(0 0 0 0)}}
body.anim-slide-rechts .widget.visible{animation:fvSlideRight .45s cubic-bezier(0.34,1.2,0.64,1) both}
body.anim-slide-links .widget.visible{animation:fvSlideLeft .45s cubic-bezier(0.34,1.2,0.64,1) both}
body.anim-slide-oben .widget.visible{animation:fvSlideTop .45s cubic-bezier(0.34,1.2,0.64,1) both}
body.anim-slide-unten .widget.visible{animation:fvSlideBottom .45s cubic-bezier(0.34,1.2,0.64,1) both}
body.anim-einblenden .widget.visible{animation:fvFade .6s ease-out both}
body.anim-zoom-einfahren .widget.visible{animation:fvZoomIn .5s cubic-bezier(0.22,1,0.36,1) both}
body.anim-zoom-herausspringen .widget.visible{animation:fvZoomPop .55s ease-out both}
body.anim-bounce .widget.visible{animation:fvBounce .9s ease-out both}
body.anim-elastisch .widget.visible{animation:fvElastic .8s ease-out both}
body.anim-3d-klappen .widget.visible{transform-origin:top center;animation:fvPerspective .6s cubic-bezier(0.22,1,0.36,1) both}
body.anim-3d-flip .widget.visible{animation:fvFlipSide .6s cubic-bezier(0.22,1,0.36,1) both}
body.anim-pendel-schwung .widget.visible{transform-origin:top center;animation:fvSwingIn .9s ease-out both}
body.anim-glitch .widget.visible{animation:fvGlitch .5s steps(2,end) both}
body.anim-neon-flackern .widget.visible{animation:fvNeonFlicker .9s linear both}
body.anim-scanline-wipe .widget.visible{animation:fvScanline .6s ease-out both}
body.anim-wipe-von-oben .widget.visible{animation:fvWipeTop .55s ease-out both}
body.anim-pixel-auflosung .widget.visible{animation:fvPixelFade .7s steps(6,end) both}
body.anim-schreibmaschine .widget.visible{animation:fvTypewriter 1s steps(24,end) both}
@keyframes fvAmbGlow{0%,100%{box-shadow:0 0 4px var(--shadow)}50%{box-shadow:0 0 calc(var(--shadow-blur)*1.6) var(--shadow)}}
@keyframes fvAmbHue{from{filter:hue-rotate(0deg)}to{filter:hue-rotate(360deg)}}
@keyframes fvAmbRing{0%{box-shadow:0 0 0 0 var(--accent);opacity:.9}100%{box-shadow:0 0 0 16px transparent;opacity:0}}
@keyframes fvAmbFire{0%,100%{box-shadow:0 8px 18px -6px #FF4500,0 0 10px -2px #FFAE00}50%{box-shadow:0 12px 28px -4px #FF2D00,0 0 18px 0 #FFD000}}
@keyframes fvAmbShimmer{from{background-position:150% 0}to{background-position:-100% 0}}
body.ambient-glow-pulse .widget::before{animation:fvAmbGlow 2.8s ease-in-out infinite}
body.ambient-border-cycle .widget::before{border:var(--border-w) solid var(--primary);animation:fvAmbHue 6s linear infinite}
body.ambient-pulse-ring .widget::before{animation:fvAmbRing 2.2s ease-out infinite}
body.ambient-fire .widget::before{animation:fvAmbFire 1.6s ease-in-out infinite}
body.ambient-shimmer .widget::before{background:linear-gradient(110deg,transparent 30%,rgba(255,255,255,.18) 50%,transparent 70%);background-size:250% 100%;animation:fvAmbShimmer 3.2s linear infinite}
body.ambient-rainbow .widget::before{inset:auto 0 calc(var(--border-w)*-1) 0;height:3px;background:linear-gradient(90deg,#FF0040,#FF8A00,#FFE600,#2BFF88,#00D4FF,#7A5CFF,#FF00C8);animation:fvAmbHue 4s linear infinite}
)CSS";

// The client logic. Guests write titles, artists, names and messages: those are only ever set
// as text. Only the DJ's own ad HTML goes in as HTML.
constexpr std::string_view clientScript = R"JS(
var hideTimers = {};
function $(id) { return document.getElementById(id); }
function setText(id, value) {
  var el = $(id);
  if (el) el.textContent = (value === undefined || value === null) ? '' : String(value);
}
function showWidget(id, duration) {
  var el = $(id);
  if (!el) return;
  if (hideTimers[id]) { clearTimeout(hideTimers[id]); delete hideTimers[id]; }
  el.classList.remove('visible');
  void el.offsetWidth;
  el.classList.add('visible');
  var seconds = Number(duration);
  if (seconds > 0) {
    hideTimers[id] = setTimeout(function () { el.classList.remove('visible'); delete hideTimers[id]; }, seconds * 1000);
  }
}
function count(v) { v = Number(v); return isFinite(v) && v > 0 ? Math.floor(v) : 0; }
function renderVotes(up, down) {
  var box = $('np-votes');
  if (!box) return;
  if (!(config.showNowPlaying && config.showNowPlayingVotes)) { box.style.display = 'none'; return; }
  up = count(up); down = count(down);
  var total = up + down;
  var pct = total > 0 ? Math.round(up / total * 100) : 50;
  box.style.display = '';
  box.className = 'np-votes ' + (config.nowPlayingVoteStyle === 'counter' ? 'style-counter' : 'style-bar');
  $('np-vote-fill').style.width = pct + '%';
  setText('np-up', '\uD83D\uDC4D ' + up);
  setText('np-down', '\uD83D\uDC4E ' + down);
}
function fillNowPlaying(ev) {
  setText('np-title', ev.title ? ev.title : '\u2013');
  setText('np-artist', ev.artist || '');
  renderVotes(ev.upVotes, ev.downVotes);
}
function setGuestCount(n) {
  setText('gc-count', count(n));
  var el = $('w-guestcount');
  if (el && config.showGuestCount && !el.classList.contains('visible')) showWidget('w-guestcount', 0);
}
function handle(ev) {
  switch (ev.type) {
    case 'nowPlaying':
      if (!config.showNowPlaying) return;
      fillNowPlaying(ev);
      showWidget('w-nowplaying', config.nowPlayingDuration);
      break;
    case 'nowPlayingVotes':
      renderVotes(ev.upVotes, ev.downVotes);
      break;
    case 'requestAccepted':
      if (!config.showRequestAccepted) return;
      setText('req-title', ev.title || '');
      setText('req-artist', ev.artist || '');
      setText('req-guest', ev.guestName ? '\u2014 von ' + ev.guestName : '');
      showWidget('w-request', config.requestDuration);
      break;
    case 'broadcast':
      if (!config.showBroadcast) return;
      setText('bc-content', ev.content || '');
      showWidget('w-broadcast', config.broadcastDuration);
      break;
    case 'guestCount':
      setGuestCount(ev.guestCount);
      break;
    case 'adShow':
      if (!config.showAdWidget) return;
      $('w-ad-content').innerHTML = typeof ev.adHtml === 'string' ? ev.adHtml : '';
      showWidget('w-ad', config.adWidgetDuration);
      break;
    case 'config':
      location.reload();
      break;
    case 'initialState':
      if (ev.config && typeof ev.config === 'object') config = ev.config;
      if (ev.title && config.showNowPlaying) { fillNowPlaying(ev); showWidget('w-nowplaying', 0); }
      if (ev.guestCount !== undefined && ev.guestCount !== null) setGuestCount(ev.guestCount);
      break;
  }
}
function connect() {
  var ws;
  try { ws = new WebSocket('ws://' + location.host + '/'); } catch (e) { setTimeout(connect, 3000); return; }
  ws.onmessage = function (m) {
    var ev;
    try { ev = JSON.parse(m.data); } catch (e) { return; }
    if (!ev || typeof ev !== 'object') return;
    try { handle(ev); } catch (e) {}
  };
  ws.onclose = function () { setTimeout(connect, 3000); };
}
function post(msg) {
  try {
    var h = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.positionUpdate;
    if (h) { h.postMessage(msg); return; }
  } catch (e) {}
  try { if (window.parent && window.parent !== window) window.parent.postMessage({ name: 'positionUpdate', body: msg }, '*'); } catch (e) {}
}
function zoomOf(el) { var z = parseFloat(el.style.zoom || getComputedStyle(el).zoom); return isFinite(z) && z > 0 ? z : 1; }
function snap(v, lo, hi, step) { v = Math.min(Math.max(v, lo), hi); return Math.round(v / step) * step; }
function follow(move, done) {
  function up() {
    document.removeEventListener('pointermove', move);
    document.removeEventListener('pointerup', up);
    done();
  }
  document.addEventListener('pointermove', move);
  document.addEventListener('pointerup', up);
}
function startDrag(el, e, r) {
  var cx = r.left + r.width / 2, cy = r.top + r.height / 2;
  var offX = e.clientX - cx, offY = e.clientY - cy;
  follow(function (ev) {
    cx = Math.min(Math.max(ev.clientX - offX, 40), window.innerWidth - 40);
    cy = Math.min(Math.max(ev.clientY - offY, 20), window.innerHeight - 20);
    var z = zoomOf(el);
    el.style.left = (cx / z) + 'px'; el.style.top = (cy / z) + 'px';
    el.style.right = 'auto'; el.style.bottom = 'auto'; el.style.marginBottom = '0';
    el.style.transform = 'translate(-50%, -50%)';
  }, function () {
    post({ widget: el.id, x: snap(cx / window.innerWidth * 100, 2, 98, 2.5),
           y: snap(cy / window.innerHeight * 100, 2, 98, 2.5), scale: -1 });
  });
}
function startResize(el, e, r) {
  var z0 = zoomOf(el), z = z0, sx = e.clientX, sy = e.clientY;
  var diag = Math.sqrt(r.width * r.width + r.height * r.height) || 1;
  follow(function (ev) {
    var travel = ((ev.clientX - sx) * r.width + (ev.clientY - sy) * r.height) / diag;
    z = Math.min(Math.max(z0 * (1 + travel / diag), 0.3), 3.0);
    z = Math.round(Math.round(z / 0.05) * 0.05 * 100) / 100;
    el.style.zoom = String(z);
  }, function () { post({ widget: el.id, x: -1, y: -1, scale: z }); });
}
function initEditing() {
  Array.prototype.forEach.call(document.querySelectorAll('[data-draggable="true"]'), function (el) {
    var handleEl = document.createElement('div');
    handleEl.className = 'fv-handle';
    el.appendChild(handleEl);
    el.addEventListener('pointerdown', function (e) {
      if (e.button !== 0) return;
      e.preventDefault();
      var r = el.getBoundingClientRect();
      if (e.target === handleEl) startResize(el, e, r); else startDrag(el, e, r);
    });
  });
}
if (EDITING) {
  initEditing();
} else if (location.hostname === 'localhost' || location.hostname === '127.0.0.1' || REACHABLE) {
  // Elsewhere only when the DJ opened the overlay to the network for a streaming computer.
  connect();
}
)JS";

}  // namespace

std::string htmlEscape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string positionCss(WidgetPosition position, double customX, double customY) {
    switch (position) {
        case WidgetPosition::bottomLeft:
            return "bottom: 40px; left: 24px;";
        case WidgetPosition::bottomRight:
            return "bottom: 40px; left: auto; right: 24px;";
        case WidgetPosition::bottomCenter:
            return "bottom: 40px; left: 50%; transform: translateX(-50%);";
        case WidgetPosition::topLeft:
            return "top: 24px; left: 24px;";
        case WidgetPosition::topRight:
            return "top: 24px; left: auto; right: 24px;";
        case WidgetPosition::topCenter:
            return "top: 24px; left: 50%; transform: translateX(-50%);";
        case WidgetPosition::custom:
            return "left:" + num(customX) + "%; top: " + num(customY) + "%; transform: translate(-50%, -50%); ";
    }
    return {};
}

std::string fontStylesheetURL(OverlayFont title, OverlayFont body, OverlayFont meta) {
    std::string url = "https://fonts.googleapis.com/css2?";
    std::vector<OverlayFont> seen;
    for (OverlayFont f : {title, body, meta}) {
        if (std::find(seen.begin(), seen.end(), f) != seen.end()) continue;
        seen.push_back(f);
        url += "family=";
        for (char c : rawValue(f)) url.push_back(c == ' ' ? '+' : c);
        url += fontWeights(f);
        url += "&";
    }
    url += "display=swap";
    return url;
}

std::string renderOverlayPage(const OverlayConfig& c, bool editing, bool reachable) {
    const OverlayThemeConfig t = c.effectiveTheme();
    std::string h;
    h.reserve(24 * 1024);
    h += "<!DOCTYPE html>\n<html lang=\"de\">\n<head>\n<meta charset=\"utf-8\">\n";
    h += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>Floorvote Overlay</title>\n";
    h += "<link rel=\"preconnect\" href=\"https://fonts.googleapis.com\">\n";
    h += "<link rel=\"preconnect\" href=\"https://fonts.gstatic.com\" crossorigin>\n";
    h += "<link rel=\"stylesheet\" href=\"" + htmlEscape(fontStylesheetURL(t.fontTitle, t.fontBody, t.fontMeta)) +
         "\">\n";
    h += "<style>\n:root{";
    h += "--primary:" + cssValue(t.primaryColor) + ";";
    h += "--secondary:" + cssValue(t.secondaryColor) + ";";
    h += "--accent:" + cssValue(t.accentColor) + ";";
    h += "--text:" + cssValue(t.textColor) + ";";
    h += "--bg:" + cssValue(t.widgetBackground) + ";";
    h += "--border:" + cssValue(t.borderColor) + ";";
    h += "--shadow:" + cssValue(t.shadowColor) + ";";
    h += "--radius:" + num(t.borderRadius) + "px;";
    h += "--border-w:" + num(t.borderWidth) + "px;";
    h += "--shadow-blur:" + num(t.shadowBlur) + "px;";
    h += "--font-title:" + fontFamily(t.fontTitle) + ";";
    h += "--font-body:" + fontFamily(t.fontBody) + ";";
    h += "--font-meta:" + fontFamily(t.fontMeta) + ";";
    h += "--sz-title:" + num(t.fontSizeTitle) + "px;";
    h += "--sz-body:" + num(t.fontSizeBody) + "px;";
    h += "--sz-meta:" + num(t.fontSizeMeta) + "px;";
    h += "--bg-opacity:" + num(std::clamp(t.backgroundOpacity, 0.0, 1.0)) + ";";
    h += "--blur:" + num(std::max(0.0, t.backgroundBlur)) + "px;";
    h += "--page-bg:" + cssValue(t.background.css()) + ";";
    h += "}\n";
    h += baseCss;

    struct Placement {
        const char* id;
        WidgetPosition pos;
        double x, y, scale;
        const char* extra;
    };
    const Placement placements[] = {
        {"w-nowplaying", c.nowPlayingPosition, c.nowPlayingCustomX, c.nowPlayingCustomY, c.nowPlayingScale, ""},
        {"w-request", c.requestPosition, c.requestCustomX, c.requestCustomY, c.requestScale, " margin-bottom: 80px;"},
        {"w-broadcast", c.broadcastPosition, c.broadcastCustomX, c.broadcastCustomY, c.broadcastScale,
         " text-align: center;"},
        {"w-guestcount", c.guestCountPosition, c.guestCountCustomX, c.guestCountCustomY, c.guestCountScale,
         " padding: 8px 14px;"},
        {"w-sponsor", c.sponsorPosition, c.sponsorCustomX, c.sponsorCustomY, c.sponsorScale,
         " padding: 6px 14px; max-width: 420px;"},
    };
    for (const auto& p : placements) {
        h += '#';
        h += p.id;
        h += '{';
        h += positionCss(p.pos, p.x, p.y);
        h += p.extra;
        h += " zoom: " + num(scale(p.scale)) + ";}\n";
    }
    h += "#w-ad{z-index:100;width:380px;" + positionCss(c.adWidgetPosition, 50, 50) + "}\n";
    h += "</style>\n</head>\n";

    std::string bodyClass = "anim-" + std::string(animationSlug(c.animationStyle));
    switch (c.effectiveAmbient()) {
        case OverlayAmbient::glowPulse:
            bodyClass += " ambient-glow-pulse";
            break;
        case OverlayAmbient::borderCycle:
            bodyClass += " ambient-border-cycle";
            break;
        case OverlayAmbient::pulseRing:
            bodyClass += " ambient-pulse-ring";
            break;
        case OverlayAmbient::fire:
            bodyClass += " ambient-fire";
            break;
        case OverlayAmbient::shimmer:
            bodyClass += " ambient-shimmer";
            break;
        case OverlayAmbient::rainbow:
            bodyClass += " ambient-rainbow";
            break;
        default:
            break;
    }
    if (editing) bodyClass += " editing";
    h += "<body class=\"" + bodyClass + "\">\n";

    const std::string placeable = editing ? " visible\" data-draggable=\"true" : "";
    auto sample = [editing](const char* s) { return std::string(editing ? s : ""); };

    h += "<div class=\"widget" + placeable + "\" id=\"w-nowplaying\">";
    h += "<div class=\"widget-label\">" + htmlEscape(t.nowPlayingEmoji) + " Now Playing</div>";
    h += "<div class=\"widget-title\" id=\"np-title\">" + sample("Songtitel") + "</div>";
    h += "<div class=\"widget-artist\" id=\"np-artist\">" + sample("Interpret") + "</div>";
    h += "<div class=\"np-votes style-";
    h += c.nowPlayingVoteStyle == NowPlayingVoteStyle::counter ? "counter" : "bar";
    h += "\" id=\"np-votes\" style=\"display:none\"><span id=\"np-up\"></span>"
         "<div class=\"np-vote-bar\"><div class=\"np-vote-fill\" id=\"np-vote-fill\"></div></div>"
         "<span id=\"np-down\"></span></div>";
    h += "</div>\n";

    h += "<div class=\"widget" + placeable + "\" id=\"w-request\">";
    h += "<div class=\"widget-label\">" + htmlEscape(t.requestEmoji) + " Wunsch angenommen</div>";
    h += "<div class=\"widget-title\" id=\"req-title\">" + sample("Songtitel") + "</div>";
    h += "<div class=\"widget-artist\" id=\"req-artist\">" + sample("Interpret") + "</div>";
    h += "<div class=\"widget-meta\" id=\"req-guest\">" + sample("\u2014 von Gast") + "</div>";
    h += "</div>\n";

    h += "<div class=\"widget" + placeable + "\" id=\"w-broadcast\">";
    h += "<div class=\"widget-label\">" + htmlEscape(t.broadcastEmoji) + " Nachricht</div>";
    h += "<div class=\"widget-content\" id=\"bc-content\">" + sample("Nachricht an alle G\u00E4ste") + "</div>";
    h += "</div>\n";

    h += "<div class=\"widget" + placeable + "\" id=\"w-guestcount\">";
    h +=
        "<span class=\"gc-label\">G\u00E4ste</span><span class=\"gc-count\" id=\"gc-count\">" + sample("0") + "</span>";
    h += "</div>\n";

    const bool sponsorShown = c.showSponsor && (c.sponsorMode == SponsorDisplayMode::text
                                                    ? !(c.sponsorName.empty() && c.sponsorPrefix.empty())
                                                    : !c.sponsorLogoURL.empty());
    std::string sponsorClass = editing ? placeable : (sponsorShown ? " visible" : "");
    h += "<div class=\"widget" + sponsorClass + "\" id=\"w-sponsor\">";
    if (c.sponsorMode == SponsorDisplayMode::text) {
        h += "<span style=\"font-size:" + num(c.sponsorTextSize) +
             "px;color:" + htmlEscape(cssValue(c.sponsorTextColor)) + ";font-weight:600\">";
        std::string line = c.sponsorPrefix;
        if (!line.empty() && !c.sponsorName.empty()) line += " ";
        line += c.sponsorName;
        h += htmlEscape(line) + "</span>";
    } else {
        h += "<img src=\"" + htmlEscape(c.sponsorLogoURL) +
             "\" alt=\"Sponsor\" style=\"max-height:64px;max-width:100%;display:block\">";
    }
    h += "</div>\n";

    h += "<div class=\"widget";
    if (c.adWidgetUseOriginalDesign) h += " ad-original";
    h += "\" id=\"w-ad\"><div id=\"w-ad-content\"></div></div>\n";

    h += "<script>\n\"use strict\";\nvar config = " + scriptJson(c.toJson()) + ";\n";
    h += std::string("var EDITING = ") + (editing ? "true" : "false") + ";\n";
    h += std::string("var REACHABLE = ") + (reachable ? "true" : "false") + ";\n";
    h += clientScript;
    h += "</script>\n</body>\n</html>\n";
    return h;
}

}  // namespace fv::overlay
