#pragma once
// A remote database client as a player speaks it, written apart from the server's codec so the
// two check each other: blocking TCP on loopback, requests built field by field, answers parsed
// by their own field type bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace fv::cdj::dbtest {

using Raw = std::vector<uint8_t>;

// One request argument.
struct Arg {
    std::variant<uint32_t, std::u16string, Raw> v;
    bool omitted = false;  // announced in the tag list but not sent (players do this for empty blobs)
};
inline Arg n(uint32_t v) { return {v}; }
inline Arg s(std::u16string v) { return {std::move(v)}; }
inline Arg omittedBlob() { return {Raw{}, true}; }

inline uint32_t dmst(uint8_t player, uint8_t menu, uint8_t slot = 4, uint8_t type = 1) {
    return uint32_t{player} << 24 | uint32_t{menu} << 16 | uint32_t{slot} << 8 | type;
}

// "PWV3" as a request number: its characters from the least significant byte up.
inline uint32_t fourcc(const char* t) {
    uint32_t v = 0;
    for (int i = 0; t[i] && i < 4; ++i) v |= uint32_t(uint8_t(t[i])) << (8 * i);
    return v;
}

inline void be32(Raw& b, uint32_t v) {
    for (int sh = 24; sh >= 0; sh -= 8) b.push_back(uint8_t(v >> sh));
}

inline Raw encodeRequest(uint32_t txid, uint16_t type, const std::vector<Arg>& args) {
    Raw b{0x11, 0x87, 0x23, 0x49, 0xae, 0x11};
    be32(b, txid);
    b.insert(b.end(), {0x10, uint8_t(type >> 8), uint8_t(type), 0x0f, uint8_t(args.size()), 0x14, 0, 0, 0, 12});
    Raw tags(12, 0);
    for (size_t i = 0; i < args.size() && i < 12; ++i)
        tags[i] = args[i].v.index() == 0 ? 0x06 : args[i].v.index() == 1 ? 0x02 : 0x03;
    b.insert(b.end(), tags.begin(), tags.end());
    for (const auto& a : args) {
        if (a.omitted) continue;
        if (a.v.index() == 0) {
            b.push_back(0x11);
            be32(b, std::get<0>(a.v));
        } else if (a.v.index() == 1) {
            const auto& t = std::get<1>(a.v);
            b.push_back(0x26);
            be32(b, uint32_t(t.size() + 1));
            for (char16_t c : t) b.insert(b.end(), {uint8_t(c >> 8), uint8_t(c)});
            b.insert(b.end(), {0, 0});
        } else {
            const auto& r = std::get<2>(a.v);
            b.push_back(0x14);
            be32(b, uint32_t(r.size()));
            b.insert(b.end(), r.begin(), r.end());
        }
    }
    return b;
}

// One answer field.
struct Field {
    uint8_t type = 0;  // 0x11, 0x26 or 0x14 as sent
    uint32_t num = 0;
    std::u16string units;  // a string's code units, the terminating zero left out
    Raw blob;

    bool isNum() const { return type == 0x11; }
    // The text as sent, markers U+FFFA / U+FFFB kept; ASCII and Latin-1 tests read it as bytes.
    std::string text() const {
        std::string out;
        for (char16_t c : units) {
            if (c < 0x80) {
                out += char(c);
            } else if (c < 0x800) {
                out += char(0xc0 | (c >> 6));
                out += char(0x80 | (c & 0x3f));
            } else {
                out += char(0xe0 | (c >> 12));
                out += char(0x80 | ((c >> 6) & 0x3f));
                out += char(0x80 | (c & 0x3f));
            }
        }
        return out;
    }
};

struct Answer {
    uint32_t txid = 0;
    uint16_t type = 0;
    Raw tags;
    std::vector<Field> args;

    uint32_t num(size_t i) const {
        if (i >= args.size() || !args[i].isNum()) throw std::runtime_error("argument " + std::to_string(i) + " no number");
        return args[i].num;
    }
    std::vector<uint32_t> nums() const {
        std::vector<uint32_t> out;
        for (const auto& f : args)
            if (f.isNum()) out.push_back(f.num);
        return out;
    }
};

class Client {
public:
    // receiveBuffer > 0 shrinks the socket's receive buffer (a client that reads slowly).
    explicit Client(uint16_t port, const std::string& host = "127.0.0.1", int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        ::inet_pton(AF_INET, host.c_str(), &sa.sin_addr);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            throw std::runtime_error("connect failed");
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void send(const Raw& b) {
        size_t done = 0;
        while (done < b.size()) {
            ssize_t k = ::send(fd_, b.data() + done, b.size() - done, MSG_NOSIGNAL);
            if (k <= 0) throw std::runtime_error("send failed");
            done += size_t(k);
        }
    }

    // Exactly n bytes, or throws on time-out or end of stream.
    Raw read(size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        Raw out;
        out.reserve(n);
        auto end = std::chrono::steady_clock::time_point{};
        while (out.size() < n) {
            if (pos_ == pending_.size()) {
                pending_.clear();
                pos_ = 0;
                if (end == std::chrono::steady_clock::time_point{}) end = std::chrono::steady_clock::now() + timeout;
                if (!fill(end)) throw std::runtime_error("no more bytes");
            }
            size_t take = std::min(n - out.size(), pending_.size() - pos_);
            out.insert(out.end(), pending_.begin() + long(pos_), pending_.begin() + long(pos_ + take));
            pos_ += take;
        }
        return out;
    }

    // True when the server closed the connection (and nothing else arrives) within the time.
    bool closedByPeer(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (true) {
            pending_.clear();
            pos_ = 0;
            pollfd p{fd_, POLLIN, 0};
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
            if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
            uint8_t buf[4096];
            ssize_t k = ::recv(fd_, buf, sizeof buf, 0);
            if (k <= 0) return true;
        }
    }

    // Nothing arrives within the time.
    bool quiet(std::chrono::milliseconds t) {
        if (pos_ < pending_.size()) return false;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, int(t.count())) == 0;
    }

    uint32_t u32() {
        Raw b = read(4);
        return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    }

    Field field() {
        Field f;
        f.type = read(1)[0];
        switch (f.type) {
            case 0x0f: f.num = read(1)[0]; break;
            case 0x10: {
                Raw b = read(2);
                f.num = uint32_t(b[0]) << 8 | b[1];
                break;
            }
            case 0x11: f.num = u32(); break;
            case 0x14: f.blob = read(u32()); break;
            case 0x26: {
                uint32_t count = u32();
                Raw b = read(size_t(count) * 2);
                for (size_t i = 0; i + 1 < b.size(); i += 2) f.units += char16_t(b[i] << 8 | b[i + 1]);
                if (f.units.empty() || f.units.back() != 0) throw std::runtime_error("string without zero unit");
                f.units.pop_back();
                break;
            }
            default: throw std::runtime_error("unknown field type " + std::to_string(f.type));
        }
        return f;
    }

    Answer answer() {
        Answer a;
        Field magic = field();
        if (magic.type != 0x11 || magic.num != 0x872349ae) throw std::runtime_error("bad magic");
        Field tx = field(), type = field(), argc = field(), tags = field();
        if (tx.type != 0x11 || type.type != 0x10 || argc.type != 0x0f || tags.type != 0x14)
            throw std::runtime_error("bad header");
        a.txid = tx.num;
        a.type = uint16_t(type.num);
        a.tags = tags.blob;
        if (a.tags.size() < 12 || a.tags.size() < argc.num) throw std::runtime_error("short tag list");
        for (uint32_t i = 0; i < argc.num; ++i) {
            Field f = field();
            uint8_t want = f.type == 0x11 ? 0x06 : f.type == 0x26 ? 0x02 : 0x03;
            if (a.tags[i] != want) throw std::runtime_error("tag list does not match field " + std::to_string(i));
            a.args.push_back(std::move(f));
        }
        for (size_t i = argc.num; i < a.tags.size(); ++i)
            if (a.tags[i] != 0) throw std::runtime_error("tag list not zero-filled");
        return a;
    }

    // Sends the 5-byte greeting and expects it back.
    void greet() {
        Raw hello{0x11, 0, 0, 0, 1};
        send(hello);
        if (read(5) != hello) throw std::runtime_error("greeting not echoed");
    }

    Answer request(uint16_t type, const std::vector<Arg>& args) {
        send(encodeRequest(++txid_, type, args));
        Answer a = answer();
        if (a.txid != txid_) throw std::runtime_error("answer for another transaction");
        return a;
    }

    // A render: header, items, footer; returns the items.
    std::vector<Answer> render(uint8_t menu, uint32_t offset, uint32_t limit, uint32_t expected, uint32_t column = 0) {
        send(encodeRequest(++txid_, 0x3000,
                           {n(dmst(2, menu)), n(offset), n(limit), n(0), n(expected), n(0), n(0), n(column)}));
        Answer head = answer();
        if (head.type != 0x4001 || head.nums() != std::vector<uint32_t>{1, 0}) throw std::runtime_error("no menu header");
        std::vector<Answer> items;
        for (;;) {
            Answer a = answer();
            if (a.txid != txid_) throw std::runtime_error("render answer for another transaction");
            if (a.type == 0x4201) {
                if (!a.args.empty()) throw std::runtime_error("footer with arguments");
                return items;
            }
            if (a.type != 0x4101 || a.args.size() != 16) throw std::runtime_error("not a 16-argument item");
            items.push_back(std::move(a));
        }
    }

    uint32_t nextTxid() const { return txid_ + 1; }
    void setTxid(uint32_t t) { txid_ = t; }
    int fd() const { return fd_; }

private:
    bool fill(std::chrono::steady_clock::time_point end) {
        pollfd p{fd_, POLLIN, 0};
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
        uint8_t buf[65536];
        ssize_t k = ::recv(fd_, buf, sizeof buf, 0);
        if (k <= 0) return false;
        pending_.insert(pending_.end(), buf, buf + k);
        return true;
    }

    int fd_ = -1;
    uint32_t txid_ = 0;
    Raw pending_;
    size_t pos_ = 0;  // read position in pending_
};

// The port query as players send it; returns the two answer bytes as a port.
inline uint16_t askPort(uint16_t queryPort, const Raw& nameBytes) {
    Client c(queryPort);
    Raw q;
    be32(q, uint32_t(nameBytes.size()));
    q.insert(q.end(), nameBytes.begin(), nameBytes.end());
    c.send(q);
    Raw a = c.read(2);
    if (!c.closedByPeer()) throw std::runtime_error("port query left open");
    return uint16_t(a[0] << 8 | a[1]);
}

}  // namespace fv::cdj::dbtest
