#pragma once
#include <memory>
#include <string>

namespace fv {

// System notifications. Never fatal: when no desktop service answers, a console line stands in.
class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void notify(const std::string& title, const std::string& body, bool withSound) = 0;

    // The desktop notification service over the session bus where one answers, else the console.
    static std::shared_ptr<Notifier> makeDefault();
};

class ConsoleNotifier : public Notifier {
public:
    void notify(const std::string& title, const std::string& body, bool withSound) override;
};

}  // namespace fv
