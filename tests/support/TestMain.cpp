#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/TestSupport.hpp"

namespace {
// Every test runs in a temporary home, so no test ever touches the real user's files.
class HomeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { fv::test::useHome(fv::test::testHome()); }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(fv::test::testHome(), ec);
    }
};
}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new HomeEnvironment);
    return RUN_ALL_TESTS();
}
