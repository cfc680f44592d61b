#pragma once
// Two network namespaces joined by a veth pair (10.99.0.1/24 and 10.99.0.2/24), created for one
// test and removed with it, so link traffic (broadcasts, the well-known ports) never touches a real
// network. Sockets stay in the namespace they were created in: create them on a thread that entered
// the namespace (enter(), runInside()) and use them from anywhere afterwards.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "support/TestSupport.hpp"

namespace fv::test {

class NetnsPair {
public:
    struct Side {
        std::string ns;       // namespace name (ip netns)
        std::string veth;     // interface inside it
        std::string address;  // 10.99.0.1 or 10.99.0.2
    };

    // Returns nothing, with the reason in *why, when namespaces cannot be made here (no root,
    // no ip tool, no veth support).
    static std::unique_ptr<NetnsPair> create(std::string* why) {
        if (::geteuid() != 0) {
            if (why) *why = "Netzwerk-Namespaces brauchen root (CAP_SYS_ADMIN); Test übersprungen";
            return nullptr;
        }
        removeStale();
        static std::atomic<int> counter{0};
        int n = counter++;
        std::string tag = std::to_string(::getpid()) + "-" + std::to_string(n);
        std::unique_ptr<NetnsPair> p(new NetnsPair);
        p->a_ = {"fvt-" + tag + "-a", "fv" + std::to_string(::getpid() % 10000000) + "a" + std::to_string(n % 100),
                 "10.99.0.1"};
        p->b_ = {"fvt-" + tag + "-b", "fv" + std::to_string(::getpid() % 10000000) + "b" + std::to_string(n % 100),
                 "10.99.0.2"};
        std::string err;
        auto run = [&](std::vector<std::string> args) {
            if (!err.empty()) return;
            auto r = runProcess(args);
            if (r.exitCode != 0) {
                std::string cmd;
                for (auto& x : args) cmd += x + " ";
                err = cmd + "→ " + (r.err.empty() ? "exit " + std::to_string(r.exitCode) : r.err);
            }
        };
        run({"ip", "netns", "add", p->a_.ns});
        if (err.empty()) p->madeA_ = true;
        run({"ip", "netns", "add", p->b_.ns});
        if (err.empty()) p->madeB_ = true;
        run({"ip", "link", "add", p->a_.veth, "netns", p->a_.ns, "type", "veth", "peer", "name", p->b_.veth,
             "netns", p->b_.ns});
        for (const Side* s : {&p->a_, &p->b_}) {
            run({"ip", "-n", s->ns, "addr", "add", s->address + "/24", "broadcast", "10.99.0.255", "dev", s->veth});
            run({"ip", "-n", s->ns, "link", "set", s->veth, "up"});
            run({"ip", "-n", s->ns, "link", "set", "lo", "up"});
        }
        if (!err.empty()) {
            if (why) *why = "Netzwerk-Namespaces nicht verfügbar: " + err;
            return nullptr;  // the destructor removes whatever was made
        }
        return p;
    }

    ~NetnsPair() {
        // Deleting a namespace also deletes the veth pair.
        if (madeA_) runProcess({"ip", "netns", "del", a_.ns});
        if (madeB_) runProcess({"ip", "netns", "del", b_.ns});
    }
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    const Side& a() const { return a_; }
    const Side& b() const { return b_; }

    // Moves the calling thread into the namespace; later sockets of this thread live there.
    static void enter(const Side& s) {
        std::string path = "/var/run/netns/" + s.ns;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("open " + path + ": " + std::strerror(errno));
        int rc = ::setns(fd, CLONE_NEWNET);
        int e = errno;
        ::close(fd);
        if (rc != 0) throw std::runtime_error("setns " + s.ns + ": " + std::strerror(e));
    }

    // Runs fn on a fresh thread inside the namespace and returns its result.
    template <typename F>
    static auto runInside(const Side& s, F&& fn) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        std::exception_ptr error;
        if constexpr (std::is_void_v<R>) {
            std::thread t([&] {
                try {
                    enter(s);
                    fn();
                } catch (...) {
                    error = std::current_exception();
                }
            });
            t.join();
            if (error) std::rethrow_exception(error);
        } else {
            std::optional<R> out;
            std::thread t([&] {
                try {
                    enter(s);
                    out.emplace(fn());
                } catch (...) {
                    error = std::current_exception();
                }
            });
            t.join();
            if (error) std::rethrow_exception(error);
            return std::move(*out);
        }
    }

    // The command line that runs a program inside the namespace.
    static std::vector<std::string> exec(const Side& s, std::vector<std::string> args) {
        std::vector<std::string> all{"ip", "netns", "exec", s.ns};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    // The interface's hardware address as ip shows it ("aa:bb:cc:dd:ee:ff").
    static std::string macOf(const Side& s) {
        auto r = runProcess({"ip", "-n", s.ns, "-o", "link", "show", s.veth});
        auto at = r.out.find("link/ether ");
        return at == std::string::npos ? std::string() : r.out.substr(at + 11, 17);
    }

private:
    NetnsPair() = default;

    // Namespaces left behind by a test process that died before its destructors ran.
    static void removeStale() {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator("/var/run/netns", ec)) {
            std::string name = e.path().filename().string();
            if (name.rfind("fvt-", 0) != 0) continue;
            pid_t pid = static_cast<pid_t>(std::atol(name.c_str() + 4));
            if (pid > 0 && pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH)
                runProcess({"ip", "netns", "del", name});
        }
    }

    Side a_, b_;
    bool madeA_ = false, madeB_ = false;
};

}  // namespace fv::test
