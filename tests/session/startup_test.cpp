#include "session/startup.h"

#include <gtest/gtest.h>

#include "catalogue/catalogue.h"
#include "catalogue/settings.h"
#include "support/scripted_prompt.h"

namespace brenvik {
namespace {

TEST(StartUpTest, RunsTheWizardWithBothSingletonsAndDestroysThemAfter) {
  test::ScriptedPrompt prompt;
  Settings* seen_settings = nullptr;
  Catalogue* seen_catalogue = nullptr;
  const int status = StartUp(prompt, [&](Settings& settings, Catalogue& catalogue) {
    seen_settings = &settings;
    seen_catalogue = &catalogue;
    // Every user reaches the same objects through get-or-create.
    EXPECT_EQ(GetOrCreateSettings(), &settings);
    EXPECT_EQ(GetOrCreateCatalogue(), &catalogue);
    settings.SetStoredFolder("remembered");
    return 7;
  });
  EXPECT_EQ(status, 7);
  EXPECT_NE(seen_settings, nullptr);
  EXPECT_NE(seen_catalogue, nullptr);
  EXPECT_EQ(prompt.Count(), 0u);

  // Destroyed at the end: a later get-or-create builds a fresh object.
  Settings* fresh = GetOrCreateSettings();
  EXPECT_EQ(fresh->StoredFolder(), "");
  DestroySettings();
}

TEST(StartUpTest, AllocationFailureInTheWizardShowsTheMemoryMessage) {
  test::ScriptedPrompt prompt;
  const int status = StartUp(prompt, [](Settings&, Catalogue&) -> int { throw std::bad_alloc(); });
  EXPECT_EQ(status, 1);
  EXPECT_EQ(prompt.Texts(),
            (std::vector<std::string>{"Memory error! Free up some memory and try again!"}));
}

}  // namespace
}  // namespace brenvik
