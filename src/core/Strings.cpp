#include "core/Strings.hpp"

#include <mutex>
#include <unordered_map>

namespace fv {
namespace {
using Table = std::unordered_map<std::string_view, std::string_view>;

const Table& german() {
    static const Table t = {
        {"error_no_active_event", "Kein aktives Event ausgewählt"},
        {"notification_new_request_title", "Neuer Musikwunsch"},
        {"notification_new_message_title", "Neue Nachricht"},

        // The status keys serve every DJ program, so their texts name none.
        {"rekordbox_status_not_configured", "Nicht eingerichtet"},
        {"rekordbox_status_auto_detected", "Automatisch erkannt"},
        {"rekordbox_status_configured", "Eingerichtet"},
        {"rekordbox_status_access_denied", "Kein Zugriff"},
        {"rekordbox_status_unreachable", "Nicht erreichbar"},
        {"rekordbox_status_connected", "Verbunden"},
        {"rekordbox_status_db_failed", "Datenbank konnte nicht gelesen werden"},

        {"spotify_error_auth", "Spotify-Anmeldung fehlgeschlagen"},
        {"spotify_error_config_missing", "Spotify-Client-ID oder -Secret fehlt"},
        {"spotify_error_foreign_playlist",
         "Spotify gibt die Titel dieser Playlist nicht heraus: Sie gehört weder dir, noch arbeitest du an ihr mit. "
         "Kopiere sie in Spotify in eine eigene Playlist und importiere diese."},
        {"spotify_error_invalid_url", "Ungültiger Spotify-Link"},
        {"spotify_error_not_found", "Bei Spotify nicht gefunden"},
        {"spotify_error_not_logged_in", "Nicht bei Spotify angemeldet"},
        {"spotify_error_rate_limit", "Zu viele Anfragen an Spotify, bitte kurz warten"},
        {"spotify_error_spotify_owned", "Playlists von Spotify selbst können nicht gelesen werden"},
        {"spotify_matching_progress", "Titel werden abgeglichen …"},

        {"applemusic_error_no_tracks", "Die Playlist enthält keine Titel"},
        {"applemusic_error_not_authorized", "Kein Zugriff auf Apple Music"},
        {"applemusic_error_playlist_not_found", "Playlist nicht gefunden"},

        {"overlay_pos_top_left", "Oben links"},
        {"overlay_pos_top_center", "Oben mittig"},
        {"overlay_pos_top_right", "Oben rechts"},
        {"overlay_pos_bottom_left", "Unten links"},
        {"overlay_pos_bottom_center", "Unten mittig"},
        {"overlay_pos_bottom_right", "Unten rechts"},
        {"overlay_pos_custom", "Eigene Position"},

        {"overlay_anim_fade_in", "Einblenden"},
        {"overlay_anim_slide_left", "Von links"},
        {"overlay_anim_slide_right", "Von rechts"},
        {"overlay_anim_slide_top", "Von oben"},
        {"overlay_anim_slide_bottom", "Von unten"},
        {"overlay_anim_zoom_in", "Heranzoomen"},
        {"overlay_anim_zoom_pop", "Aufploppen"},
        {"overlay_anim_bounce", "Springen"},
        {"overlay_anim_elastic", "Elastisch"},
        {"overlay_anim_swing", "Schwingen"},
        {"overlay_anim_glitch", "Glitch"},
        {"overlay_anim_neon_flicker", "Neon-Flackern"},
        {"overlay_anim_pixel_fade", "Pixel-Überblendung"},
        {"overlay_anim_scanline_wipe", "Scanline-Wischen"},
        {"overlay_anim_typewriter", "Schreibmaschine"},
        {"overlay_anim_wipe_top", "Von oben wischen"},
        {"overlay_anim_3d_perspective", "3D-Klappen (oben)"},
        {"overlay_anim_3d_flip", "3D-Flip (Seite)"},

        {"overlay_ambient_none", "Kein Effekt"},
        {"overlay_ambient_auto", "Automatisch"},
        {"overlay_ambient_glow_pulse", "Pulsierendes Leuchten"},
        {"overlay_ambient_border_cycle", "Wandernder Rahmen"},
        {"overlay_ambient_shimmer", "Schimmern"},
        {"overlay_ambient_rainbow", "Regenbogen"},
        {"overlay_ambient_fire", "Feuer"},
        {"overlay_ambient_pulse_ring", "Pulsring"},
    };
    return t;
}

std::mutex langMutex;
std::string language = "de";
}  // namespace

void setLanguage(std::string_view code) {
    std::lock_guard lock(langMutex);
    language = std::string(code);
}

std::string currentLanguage() {
    std::lock_guard lock(langMutex);
    return language;
}

bool hasTranslation(std::string_view key) { return german().count(key) != 0; }

std::string tr(std::string_view key) {
    // German is the only table; other languages fall back to it.
    const auto& t = german();
    if (auto it = t.find(key); it != t.end()) return std::string(it->second);
    return std::string(key);
}

}  // namespace fv
