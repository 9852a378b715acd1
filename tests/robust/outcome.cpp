// SPDX-License-Identifier: MIT
// outcome.cpp - checking that a run wrote everything or failed cleanly.
#include "tests/robust/outcome.h"

namespace kestrune::test {

namespace {

// Where the two strings first differ, for the failure text.
size_t first_difference(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) i++;
  return i;
}

}  // namespace

::testing::AssertionResult whole_or_clean_failure(int status, const std::string& out,
                                                  const std::string& err, const std::string& whole,
                                                  size_t unit, const std::string& program,
                                                  bool out_captured) {
  if (status == 0) {
    if (out_captured && out.size() != whole.size()) {
      return ::testing::AssertionFailure()
             << "status 0 after writing " << out.size() << " bytes of " << whole.size();
    }
    if (out_captured && out != whole) {
      return ::testing::AssertionFailure()
             << "status 0 after writing wrong bytes: first difference at byte "
             << first_difference(out, whole);
    }
    if (!err.empty()) {
      return ::testing::AssertionFailure() << "status 0 with a message: " << err;
    }
    return ::testing::AssertionSuccess();
  }
  if (status != 1) {
    return ::testing::AssertionFailure() << "status " << status << ", stderr: " << err;
  }
  if (out_captured) {
    if (out.size() > whole.size() || whole.compare(0, out.size(), out) != 0) {
      return ::testing::AssertionFailure()
             << "status 1 after writing " << out.size() << " bytes that are no prefix of the "
             << whole.size() << " expected (first difference at byte "
             << first_difference(out, whole) << ")";
    }
    if (unit != 0 && out.size() % unit != 0) {
      return ::testing::AssertionFailure()
             << "status 1 after writing " << out.size() << " bytes, not a multiple of " << unit;
    }
  }
  const std::string prefix = program + ": ";
  const size_t newline = err.find('\n');
  if (err.compare(0, prefix.size(), prefix) != 0 || err.size() <= prefix.size() + 1 ||
      newline != err.size() - 1) {
    return ::testing::AssertionFailure() << "status 1 without exactly one line \"" << prefix
                                         << "<message>\" on stderr: \"" << err << "\"";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace kestrune::test
