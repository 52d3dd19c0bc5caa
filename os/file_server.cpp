#include "os/file_server.hpp"

namespace orvex {

ServedFile WorkingDirectoryFiles::open(const char* name, ServeRefusal& why) { return open_served_file(name, why); }

}  // namespace orvex
