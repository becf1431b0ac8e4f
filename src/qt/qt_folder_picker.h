#pragma once
// The folder picker of the Qt face: the desktop's folder dialog, folders
// only, starting in the user's home folder.
//
// Threads: the GUI thread only.

#include "setup/setup_flow.h"

namespace brenvik {

class QtFolderPicker final : public FolderPicker {
 public:
  std::optional<std::string> PickFolder(const std::string& title) override;
};

}  // namespace brenvik
