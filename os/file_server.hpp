// Opening the files a radio asks for by name. The program serves those below
// its working directory; main makes that server and hands it to the engine.
#pragma once

#include "os/served_file.hpp"

namespace orvex {

class FileServer {
 public:
  virtual ~FileServer() = default;
  // `name` opened for reading, close on exec, with its size and identity as
  // they were at open. On refusal fd is -1 and `why` says why; NONE when served.
  virtual ServedFile open(const char* name, ServeRefusal& why) = 0;
};

// The regular files below the working directory, as open_served_file opens
// them (never hidden ones, never a pipe or a device).
class WorkingDirectoryFiles final : public FileServer {
 public:
  ServedFile open(const char* name, ServeRefusal& why) override;
};

}  // namespace orvex
