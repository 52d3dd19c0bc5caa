#include "bench/run_options.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace orvex::bench {

namespace {

constexpr long MIN_MIB = 1, MAX_MIB = 64;

struct GroupName {
  const char* name;
  Group group;
};
constexpr GroupName GROUPS[] = {{"transfer", GROUP_TRANSFER},
                                {"flood", GROUP_FLOOD},
                                {"keys", GROUP_KEYS},
                                {"scale", GROUP_SCALE},
                                {"batch", GROUP_BATCH},
                                {"parallel", GROUP_PARALLEL}};

std::string all_names() {
  std::string names;
  for (const GroupName& g : GROUPS) names += (names.empty() ? "" : ", ") + std::string(g.name);
  return names;
}

// "transfer,keys" into groups; 0 with `error` set when a name is not one.
unsigned parse_groups(const std::string& list, std::string& error) {
  unsigned groups = 0;
  size_t from = 0;
  while (from <= list.size()) {
    const size_t comma = std::min(list.find(',', from), list.size());
    const std::string name = list.substr(from, comma - from);
    bool known = false;
    for (const GroupName& g : GROUPS) {
      if (name == g.name) {
        groups |= g.group;
        known = true;
      }
    }
    if (!known) {
      error = "unknown group '" + name + "' (the groups: " + all_names() + ")";
      return 0;
    }
    from = comma + 1;
  }
  return groups;
}

}  // namespace

RunOptions parse_run_options(int argc, char** argv) {
  RunOptions o;
  bool mib_given = false, only_given = false;
  for (int i = 1; i < argc && o.error.empty() && !o.help; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--only" || arg.rfind("--only=", 0) == 0) {
      std::string list;
      if (arg == "--only") {
        if (i + 1 >= argc) {
          o.error = "--only needs a group";
          break;
        }
        list = argv[++i];
      } else {
        list = arg.substr(7);
      }
      if (only_given) {
        o.error = "--only given twice: name the groups in one list";
      } else {
        o.groups = parse_groups(list, o.error);
      }
      only_given = true;
    } else if (!mib_given && !arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
      o.file_mib = std::strtol(arg.c_str(), nullptr, 10);
      if (o.file_mib < MIN_MIB || o.file_mib > MAX_MIB) o.error = "FILE_MIB is 1..64";
      mib_given = true;
    } else {
      o.error = "what is '" + arg + "'?";
    }
  }
  return o;
}

std::string usage_text(const char* program) {
  return std::string("usage: ") + program +
         " [--only GROUP[,GROUP...]] [FILE_MIB]\n"
         "  FILE_MIB  the size of the file served, 1..64 MiB (default 4)\n"
         "  --only    run these groups only, in this order whatever the list's:\n"
         "              transfer  the raw rows, the program's rows and the TFTP row\n"
         "              flood     the transfer on a flooded segment\n"
         "              keys      typed keys and their echo, the typing session\n"
         "              scale     discovery of 1000 radios\n"
         "              batch     the update run's overhead\n"
         "              parallel  update runs with --parallel: the time a radio against one at a time,\n"
         "                        599 radios in one run, 16 transfers at once (about 5 minutes)\n"
         "            without it, all of them but parallel. Only the goals of the groups run are printed.\n"
         "  --help    this text\n"
         "Needs root. One run at a time: a second is refused while " +
         RunLock::PATH + " is held.\n";
}

std::string group_names(unsigned groups) {
  std::string names;
  for (const GroupName& g : GROUPS) {
    if ((groups & g.group) != 0) names += (names.empty() ? "" : ", ") + std::string(g.name);
  }
  return names;
}

RunLock::~RunLock() {
  if (fd_ >= 0) ::close(fd_);
}

std::string RunLock::take() {
  fd_ = ::open(PATH, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return std::string(PATH) + ": " + std::strerror(errno);
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    std::string holder;
    if (why == EWOULDBLOCK) {
      char text[32] = {};
      const ssize_t n = ::pread(fd_, text, sizeof text - 1, 0);
      const long pid = n > 0 ? std::strtol(text, nullptr, 10) : 0;
      holder = pid > 0 ? " (pid " + std::to_string(pid) + ")" : "";
    }
    ::close(fd_);
    fd_ = -1;
    if (why == EWOULDBLOCK) {
      return "another benchmark run is in progress" + holder + ": microsecond figures of two runs at once mean "
             "nothing; try again when it has ended";
    }
    return std::string(PATH) + ": " + std::strerror(why);
  }
  // The holder's id for whoever is refused; the lock itself is the flock.
  const std::string pid = std::to_string(getpid()) + "\n";
  if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    return std::string(PATH) + ": " + std::strerror(errno);
  }
  return {};
}

}  // namespace orvex::bench
