#include "core/ErrorText.hpp"

#include <regex>
#include <utility>
#include <vector>

namespace fv {
namespace {

struct Rule {
    std::regex pattern;
    std::string replacement;
};

const std::vector<Rule>& rules() {
    static const std::vector<Rule> r = [] {
        std::vector<std::pair<const char*, const char*>> table = {
            // The HTTP and WebSocket client.
            {R"(Could not resolve (\S+): )", "$1 konnte nicht aufgelöst werden: "},
            {R"(Could not connect to (\S+): )", "Keine Verbindung zu $1: "},
            {R"(TLS setup for (\S+) failed)", "TLS-Einrichtung für $1 fehlgeschlagen"},
            {R"(TLS handshake with (\S+) failed: )", "TLS-Verbindung mit $1 fehlgeschlagen: "},
            {R"(Request to (\S+) timed out after (\S+) ?s\b)", "Anfrage an $1 nach $2 s ohne Antwort"},
            {R"(Request to (\S+) timed out after)", "Anfrage an $1 ohne Antwort nach"},
            {R"(Sending to (\S+) failed: )", "Senden an $1 fehlgeschlagen: "},
            {R"(Answer from (\S+) is not HTTP: )", "Antwort von $1 ist kein HTTP: "},
            {R"(Connection to (\S+) closed before the answer was complete)",
             "Verbindung zu $1 wurde vor dem Ende der Antwort geschlossen"},
            {R"(Receiving from (\S+) failed: )", "Empfang von $1 fehlgeschlagen: "},
            {R"(WebSocket upgrade at (\S+) failed: )", "WebSocket-Verbindung zu $1 fehlgeschlagen: "},
            {R"(Invalid URL \(no host\): )", "Ungültige Adresse (kein Rechner): "},
            {R"(Invalid URL \(bad port\): )", "Ungültige Adresse (falscher Port): "},
            {R"(Invalid URL \(user info is not supported\): )", "Ungültige Adresse (Benutzerangaben nicht erlaubt): "},
            {R"(Invalid URL \(unescaped character in path\): )", "Ungültige Adresse (unzulässiges Zeichen im Pfad): "},
            {R"(Invalid URL: )", "Ungültige Adresse: "},
            {R"(\bping timeout\b)", "keine Antwort auf Ping"},
            // The REST client's fixed texts.
            {R"(Server error \((\d+)\))", "Serverfehler ($1)"},
            {R"(Invalid server response)", "Ungültige Antwort des Servers"},
            {R"(Authentication failed – check your DJ PIN)", "Anmeldung fehlgeschlagen – bitte die DJ-PIN prüfen"},
            {R"(Event not found)", "Event nicht gefunden"},
            {R"(Not authenticated)", "Nicht angemeldet"},
            {R"(Invalid server URL)", "Ungültige Server-Adresse"},
            {R"(An unknown error occurred)", "Ein unbekannter Fehler ist aufgetreten"},
            // The system's socket and file errors.
            {R"(Connection refused)", "Verbindung abgelehnt"},
            {R"(Connection reset by peer)", "Verbindung von der Gegenseite zurückgesetzt"},
            {R"(Connection timed out)", "Zeitüberschreitung der Verbindung"},
            {R"(Host not found \(authoritative\))", "Rechner nicht gefunden"},
            {R"(Host not found \(non-authoritative\), try again later)", "Rechner nicht gefunden, bitte später erneut versuchen"},
            {R"(Network is unreachable)", "Netzwerk nicht erreichbar"},
            {R"(No route to host)", "Rechner nicht erreichbar"},
            {R"(Address already in use)", "Adresse bereits belegt"},
            {R"(Cannot assign requested address)", "Adresse nicht verfügbar"},
            {R"(Permission denied)", "Keine Berechtigung"},
            {R"(Broken pipe)", "Verbindung unterbrochen"},
            {R"(End of file)", "Verbindung beendet"},
            {R"(Operation canceled)", "Abgebrochen"},
            {R"(stream truncated)", "Verbindung vorzeitig beendet"},
            {R"(certificate verify failed)", "Zertifikat nicht vertrauenswürdig"},
            {R"(No such file or directory)", "Datei oder Ordner nicht gefunden"},
        };
        std::vector<Rule> out;
        for (auto& [p, g] : table) out.push_back({std::regex(p), g});
        return out;
    }();
    return r;
}

}  // namespace

std::string germanError(std::string_view text) {
    std::string s(text);
    for (const auto& r : rules()) s = std::regex_replace(s, r.pattern, r.replacement);
    return s;
}

}  // namespace fv
