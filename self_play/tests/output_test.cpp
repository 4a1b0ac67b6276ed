#include "output.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

namespace velmar {
namespace {

class FormatFloat : public ::testing::TestWithParam<std::pair<float, std::string>> {};

TEST_P(FormatFloat, ShortestRoundTripWithAPoint) {
  const auto& [value, text] = GetParam();
  EXPECT_EQ(format_float(value), text);
  EXPECT_EQ(std::stof(format_float(value)), value);
}

INSTANTIATE_TEST_SUITE_P(Values, FormatFloat,
                         ::testing::Values(std::pair<float, std::string>{1.0f, "1.0"},
                                           std::pair<float, std::string>{0.5f, "0.5"},
                                           std::pair<float, std::string>{1.0f / 3.0f, "0.33333334"},
                                           std::pair<float, std::string>{0.25f, "0.25"},
                                           std::pair<float, std::string>{0.0f, "0.0"},
                                           std::pair<float, std::string>{0.1f, "0.1"},
                                           std::pair<float, std::string>{2.0f / 3.0f, "0.6666667"},
                                           std::pair<float, std::string>{-3.0f, "-3.0"},
                                           std::pair<float, std::string>{100.0f, "100.0"}));

TEST(FormatList, PayoffAndScores) {
  const std::array<float, 4> payoff = {0.0f, 1.0f, 0.0f, 0.0f};
  const std::array<int, 4> scores = {-20, -3, -41, -12};
  EXPECT_EQ(format_list(std::span<const float>(payoff)), "[0.0, 1.0, 0.0, 0.0]");
  EXPECT_EQ(format_list(std::span<const int>(scores)), "[-20, -3, -41, -12]");
  const std::array<float, 3> thirds = {1.0f / 3, 1.0f / 3, 1.0f / 3};
  EXPECT_EQ(format_list(std::span<const float>(thirds)), "[0.33333334, 0.33333334, 0.33333334]");
  EXPECT_EQ(format_list(std::span<const int>()), "[]");
}

TEST(WriteStdout, GoesToDescriptorOne) {
  ::testing::internal::CaptureStdout();
  write_stdout("first line\n");
  write_stdout(std::string(70000, 'x'));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.substr(0, 11), "first line\n");
  EXPECT_EQ(out.size(), 11u + 70000u);
}

TEST(ProgressBar, SilentWhenStderrIsNotATerminal) {
  ::testing::internal::CaptureStderr();
  ProgressBar bar(400);
  for (int i = 0; i < 500; ++i) bar.advance();
  bar.finish();
  // While captured, descriptor 2 is a file.
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace velmar
