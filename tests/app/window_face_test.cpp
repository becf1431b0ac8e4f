// The window face is a module the program loads only when a window opens.
// A program without it (a copy elsewhere, a damaged install) says why and
// goes on in the terminal; a run in the terminal never loads it.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/program_runner.h"
#include "support/release_fixture.h"
#include "support/temp_dir.h"

namespace brenvik::test {
namespace {

namespace fs = std::filesystem;

#ifdef BRENVIK_QT_FACE_MODULE_NAME

TEST(WindowFaceTest, WithoutAUsableModuleTheProgramSaysWhyAndGoesOnInTheTerminal) {
  HttpServer server;
  Release release(server);
  release.Add("a.bin", RandomBytes(1000, 3));
  release.Publish();
  TempDir sandbox;
  // A copy of the program with nothing beside it.
  const fs::path program = sandbox.path() / "bin" / "brenvik";
  fs::create_directories(program.parent_path());
  fs::copy_file(BRENVIK_BINARY, program);
  const fs::path work = sandbox.path() / "work";
  fs::create_directories(work);
  const ProgramRunner runner(sandbox, program);
  const std::vector<std::string> args{"--no-install", "--server", server.Url(), "--folder",
                                      (sandbox.path() / "cd").string() + "/"};
  const std::map<std::string, std::string> display{{"QT_QPA_PLATFORM", "offscreen"}};

  Outcome outcome = runner.Run(work, args, display);
  EXPECT_EQ(outcome.status, 0) << outcome.output;
  EXPECT_TRUE(Contains(outcome.output, "brenvik: the window face " BRENVIK_QT_FACE_MODULE_NAME
                                       " is not installed; going on in the terminal"))
      << outcome.output;
  EXPECT_TRUE(Contains(outcome.output, "All Done.")) << outcome.output;

  // A damaged module: named, and the run still goes on.
  sandbox.Write("bin/" BRENVIK_QT_FACE_MODULE_NAME, "not a shared object");
  outcome = runner.Run(work, args, display);
  EXPECT_EQ(outcome.status, 0) << outcome.output;
  EXPECT_TRUE(Contains(outcome.output, "brenvik: the window face cannot be loaded: "))
      << outcome.output;
  EXPECT_TRUE(Contains(outcome.output, "going on in the terminal")) << outcome.output;

  // In the terminal the module is never touched.
  std::vector<std::string> text_args = args;
  text_args.push_back("--text");
  outcome = runner.Run(work, text_args, display);
  EXPECT_EQ(outcome.status, 0) << outcome.output;
  EXPECT_FALSE(Contains(outcome.output, "window face")) << outcome.output;
  EXPECT_TRUE(Contains(outcome.output, "All Done.")) << outcome.output;
}

#endif

}  // namespace
}  // namespace brenvik::test
