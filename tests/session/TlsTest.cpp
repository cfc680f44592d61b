// HTTPS against a real TLS peer: the certificate is checked against the CA store and the host name,
// and the host is sent as SNI.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "session/APIClient.hpp"
#include "session/ApiTestService.hpp"
#include "session/AppSettings.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using fv::test::runOnMain;
using fv::test::TestService;

namespace {

struct NoTokens : AccessTokenHolder {
    std::optional<std::string> accessToken() const override { return std::nullopt; }
    void setAccessToken(std::string) override {}
};

void openssl(const std::vector<std::string>& args) {
    std::vector<std::string> full{"openssl"};
    full.insert(full.end(), args.begin(), args.end());
    auto r = fv::test::runProcess(full);
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new fv::test::TempDir();
        auto p = [](const char* n) { return (dir->path() / n).string(); };
        std::vector<std::string> ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        auto req = [&](std::vector<std::string> a) {
            std::vector<std::string> full{"req"};
            full.insert(full.end(), ec.begin(), ec.end());
            full.insert(full.end(), a.begin(), a.end());
            openssl(full);
        };
        req({"-x509", "-days", "2", "-keyout", p("ca.key"), "-out", p("ca.pem"), "-subj", "/CN=Floorvote Test CA",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"});
        for (std::string host : {"localhost", "other.invalid"}) {
            req({"-keyout", p((host + ".key").c_str()), "-out", p((host + ".csr").c_str()), "-subj", "/CN=" + host});
            fv::test::writeFile(dir->path() / (host + ".ext"), "subjectAltName=DNS:" + host + "\n");
            openssl({"x509", "-req", "-days", "2", "-in", p((host + ".csr").c_str()), "-CA", p("ca.pem"), "-CAkey",
                     p("ca.key"), "-CAcreateserial", "-out", p((host + ".pem").c_str()), "-extfile",
                     p((host + ".ext").c_str())});
        }
        req({"-x509", "-days", "2", "-keyout", p("self.key"), "-out", p("self.pem"), "-subj", "/CN=localhost",
             "-addext", "subjectAltName=DNS:localhost"});
        // The client's trust store is the system's; OpenSSL lets the test point it at its own CA.
        setenv("SSL_CERT_FILE", p("ca.pem").c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    void SetUp() override {
        home = std::make_unique<fv::test::TempDir>();
        fv::test::useHome(home->path());
        AppSettings::setDedicatedOverride(std::nullopt);
    }

    std::unique_ptr<TestService> peer(const std::string& name) {
        std::string script = std::string(TEST_PEERS_DIR) + "/tls/server.js";
        auto s = std::make_unique<TestService>(std::vector<std::string>{
            "node", script, (dir->path() / (name + ".pem")).string(), (dir->path() / (name + ".key")).string()});
        setenv("FLOORVOTE_PRODUCTION_URL", ("https://localhost:" + std::to_string(s->port())).c_str(), 1);
        return s;
    }

    std::string failureOf() {
        try {
            (void)runOnMain(api.getStats("ev1"));
        } catch (const std::exception& e) {
            return e.what();
        }
        return "no error";
    }

    static fv::test::TempDir* dir;
    std::unique_ptr<fv::test::TempDir> home;
    NoTokens tokens;
    KeychainService keychain;
    HttpClient http;
    APIClient api{tokens, keychain, http};
};

fv::test::TempDir* TlsTest::dir = nullptr;

}  // namespace

TEST_F(TlsTest, TrustedCertificateForTheHostConnectsAndSendsTheHostAsSni) {
    auto s = peer("localhost");
    EXPECT_TRUE(runOnMain(api.healthCheck()));
    // Past the handshake: the peer's answer, not the connection, is what fails now.
    EXPECT_THAT(failureOf(), ::testing::Not(::testing::ContainsRegex("certificate|TLS")));
}

TEST_F(TlsTest, WrongHostOrUntrustedCertificateIsRefusedWithItsReason) {
    {
        auto s = peer("other.invalid");
        EXPECT_FALSE(runOnMain(api.healthCheck()));
        EXPECT_THAT(failureOf(), ::testing::ContainsRegex("certificate|verify"));
    }
    {
        auto s = peer("self");
        EXPECT_FALSE(runOnMain(api.healthCheck()));
        EXPECT_THAT(failureOf(), ::testing::ContainsRegex("certificate|verify"));
    }
}
