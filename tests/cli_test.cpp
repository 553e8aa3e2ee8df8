// The tool run as a process: what it prints, its exit status and the bytes
// it leaves in the output file.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeScratchDir(); }
  void TearDown() override { RemoveTree(dir_); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

std::string Echo(const std::string& input, const std::string& output) {
  return "Input file: " + input + "\nOutput file: " + output + "\n";
}

TEST_F(ToolTest, ConvertsTheTwoByTwoPictureTopRowFirst) {
  // Bottom row blue, green; top row red, white.
  const Bytes file = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,
                      40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0,
                      0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                      0, 0, 0, 0, 0, 0, 0, 0,
                      0xFF, 0, 0, 0, 0xFF, 0, 0, 0,
                      0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
  WriteFile(Path("in.bmp"), file);
  const ToolRun run = RunTool({Path("in.bmp"), Path("out.raw")});
  EXPECT_EQ(run.out, Echo(Path("in.bmp"), Path("out.raw")) +
                         "Image converted successfully");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(ReadFile(Path("out.raw")),
            (Bytes{0x00, 0xF8, 0xFF, 0xFF, 0x1F, 0x00, 0xE0, 0x07}));
}

TEST_F(ToolTest, WrongArgumentCountPrintsUsageAndFails) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"a"}, {"a", "b", "c"}}) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.out, "syntax: bravik <input file> <output file>\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.exit_status, 1);
  }
}

}  // namespace
