#pragma once
#include <exception>
#include <string>

namespace fv {

// A failure of a backend call at the HTTP level, with the fixed texts the user sees.
class APIError : public std::exception {
public:
    enum class Kind { serverError, serverMessage, invalidResponse, unauthorized, notFound, noActiveEvent, notAuthenticated, invalidURL, unknownError };

    explicit APIError(Kind kind, int status = 0, std::string message = {});
    static APIError serverError(int status) { return APIError(Kind::serverError, status); }
    static APIError serverMessage(int status, std::string text) { return APIError(Kind::serverMessage, status, std::move(text)); }

    Kind kind() const { return kind_; }
    int status() const { return status_; }
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const { return text_; }
    bool operator==(const APIError& o) const { return kind_ == o.kind_ && status_ == o.status_ && text_ == o.text_; }

private:
    Kind kind_;
    int status_;
    std::string text_;
};

}  // namespace fv
