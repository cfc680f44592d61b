#include "session/APIError.hpp"

#include "core/Strings.hpp"

namespace fv {

namespace {
std::string describe(APIError::Kind kind, int status, std::string message) {
    switch (kind) {
        case APIError::Kind::serverError: return "Server error (" + std::to_string(status) + ")";
        case APIError::Kind::serverMessage: return message;
        case APIError::Kind::invalidResponse: return "Invalid server response";
        case APIError::Kind::unauthorized: return "Authentication failed – check your DJ PIN";
        case APIError::Kind::notFound: return "Event not found";
        case APIError::Kind::noActiveEvent: return tr("error_no_active_event");
        case APIError::Kind::notAuthenticated: return "Not authenticated";
        case APIError::Kind::invalidURL: return "Invalid server URL";
        case APIError::Kind::unknownError: return "An unknown error occurred";
    }
    return "An unknown error occurred";
}
}  // namespace

APIError::APIError(Kind kind, int status, std::string message)
    : kind_(kind), status_(status), text_(describe(kind, status, std::move(message))) {}

}  // namespace fv
