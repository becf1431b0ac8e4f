#pragma once
// The folder picker of the window face: the system's folder dialog
// (IFileDialog picking folders of the file system), or the older folder
// browser (SHBrowseForFolderW) where that dialog cannot be made. It opens
// over the page in front, titled with the question the setup step asks.
//
// Threads: the window thread only, with COM initialised as a single-thread
// apartment (the window face does that).

#include "setup/setup_flow.h"

namespace brenvik {

class Win32FolderPicker final : public FolderPicker {
 public:
  std::optional<std::string> PickFolder(const std::string& title) override;
};

}  // namespace brenvik
