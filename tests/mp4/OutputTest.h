// Tests that write files: a fresh directory for each, removed afterwards
// unless TRELVO_KEEP_TEST_OUTPUT is set.
#pragma once

#include "Mp4TestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace mp4test {

class COutputTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = TempDir(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
    void TearDown() override {
        if (std::getenv("TRELVO_KEEP_TEST_OUTPUT") == nullptr) std::filesystem::remove_all(m_dir);
    }
    std::filesystem::path m_dir;
};

}  // namespace mp4test
