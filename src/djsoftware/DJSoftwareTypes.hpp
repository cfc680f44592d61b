#pragma once
// The values every bridge shares: what is playing, the status shown per program, the error.
#include <chrono>
#include <stdexcept>
#include <string>

#include "djsoftware/DJSoftwareType.hpp"

namespace fv {

struct DJNowPlaying {
    std::string title;
    std::string artist;
    std::chrono::system_clock::time_point detectedAt;

    bool operator==(const DJNowPlaying&) const = default;
};

class BridgeStatus {
public:
    enum class Kind { notConfigured, autoDetected, configured, accessDenied, unreachable, dbAccessFailed, connected };

    BridgeStatus() = default;
    static BridgeStatus connected(std::string detail) { return BridgeStatus(Kind::connected, std::move(detail)); }
    static BridgeStatus notConfigured() { return BridgeStatus(Kind::notConfigured); }
    static BridgeStatus autoDetected() { return BridgeStatus(Kind::autoDetected); }
    static BridgeStatus configured() { return BridgeStatus(Kind::configured); }
    static BridgeStatus accessDenied() { return BridgeStatus(Kind::accessDenied); }
    static BridgeStatus unreachable() { return BridgeStatus(Kind::unreachable); }
    static BridgeStatus dbAccessFailed() { return BridgeStatus(Kind::dbAccessFailed); }

    Kind kind() const { return kind_; }
    // Only connected carries a detail (a count and what it counts).
    const std::string& detail() const { return detail_; }
    // The localisation key of the status ("rekordbox_status_…", the same keys for every program).
    std::string labelKey() const;
    // The looked-up text; connected with a detail adds " (" + detail + ")".
    std::string label() const;

    bool operator==(const BridgeStatus& o) const {
        return kind_ == o.kind_ && (kind_ != Kind::connected || detail_ == o.detail_);
    }

private:
    explicit BridgeStatus(Kind k, std::string detail = {}) : kind_(k), detail_(std::move(detail)) {}
    Kind kind_ = Kind::notConfigured;
    std::string detail_;
};

// What every bridge operation throws; what() is the German text the DJ sees.
class DJBridgeError : public std::runtime_error {
public:
    enum class Kind {
        softwareNotAvailable,
        softwareRunning,
        playlistCreationFailed,
        trackNotFound,
        playlistNotFound,
        writeAccessDenied,
        networkError
    };

    static DJBridgeError softwareNotAvailable(DJSoftwareType t);
    static DJBridgeError softwareRunning(DJSoftwareType t);
    static DJBridgeError playlistCreationFailed(const std::string& text);
    static DJBridgeError trackNotFound(const std::string& id);
    static DJBridgeError playlistNotFound(const std::string& id);
    static DJBridgeError writeAccessDenied(const std::string& text);
    static DJBridgeError networkError(const std::string& text);

    Kind kind() const { return kind_; }
    // The program (softwareNotAvailable, softwareRunning) or the text or id the case carries.
    DJSoftwareType software() const { return software_; }
    const std::string& payload() const { return payload_; }

private:
    DJBridgeError(Kind k, std::string description, DJSoftwareType software, std::string payload)
        : std::runtime_error(std::move(description)), kind_(k), software_(software), payload_(std::move(payload)) {}
    Kind kind_;
    DJSoftwareType software_ = DJSoftwareType::rekordbox;
    std::string payload_;
};

}  // namespace fv
