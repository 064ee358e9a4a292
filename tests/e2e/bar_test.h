// What the end-to-end test programs share: the profile texts they write and read, and a fixture
// that starts each test from a clean prefix with a responder to point the bar at.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/bar_driver.h"

namespace vorn::e2e {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The keys a saving exit writes, in the order they are written: the forty of old, then the
// five of the history window.
std::vector<std::string> SavedKeyOrder();

// The lines, each ended with "\r\n".
std::string Lines(const std::vector<std::string>& lines);
// A profile section: "[name]" and its lines.
std::string Section(const std::string& name, const std::vector<std::string>& lines);
// A VORNBAR section.
std::string Section(const std::vector<std::string>& lines);
// A VORNBAR section whose first line names `host`.
std::string HostSection(const std::string& host, const std::vector<std::string>& lines);

// First value of `key` (case as the profile API compares it), or "<absent>".
std::string ValueOf(const Entries& entries, const std::string& key);
// The same, in the VORNBAR section of a profile text.
std::string ValueOf(const std::string& profile, const std::string& key);
// The same, in the VORNBAR section of the profile file as it is now.
std::string Saved(const std::string& key);

// Digits only, at least one.
bool IsDecimal(const std::string& s);

// Each test starts with no bar and no profile, and a responder running; the program must be
// built, else the test is skipped.
class BarTest : public ::testing::Test {
protected:
    // `responder`: whether the test points the bar at a responder at all.
    explicit BarTest(bool responder = true) : use_responder_(responder) {}

    void SetUp() override;
    void TearDown() override;

    // Starts the program and waits for its bar; fails the test when no bar shows.
    HWND StartBar(BarProcess& bar, const std::string& tail = "");
    // Writes the VORNBAR section (host of the responder first) and starts the bar; waits until
    // its initialisation has ended (the focus is set last), `focusMs` at most.
    HWND Start(BarProcess& bar, const std::vector<std::string>& lines, DWORD focusMs);

    std::string exe_;
    TestResponder responder_;

private:
    bool use_responder_;
};

}  // namespace vorn::e2e
