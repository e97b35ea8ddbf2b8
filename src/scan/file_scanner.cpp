#include "scan/file_scanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "compat/extensions.h"
#include "core/file.h"
#include "core/text.h"

namespace sonorik::utils {

namespace {

struct DirId {
  dev_t dev;
  ino_t ino;
  bool operator==(const DirId&) const = default;
};

// The directories on the current path, innermost first; lives on the stack
// of the scanning calls and is only read by the branches below it.
struct Ancestor {
  DirId id;
  const Ancestor* parent;
  bool contains(const DirId& d) const {
    for (const Ancestor* a = this; a != nullptr; a = a->parent) {
      if (a->id == d) return true;
    }
    return false;
  }
};

struct Entry {
  std::string path;
  unsigned char type = DT_UNKNOWN;  // from the listing
  std::optional<DirId> directory;   // set when the entry is a directory (links followed)
  bool audio = false;
};

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};

std::string join(const std::string& dir, const char* name) {
  std::string out = dir;
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

// Fills `directory` (for entries that are or may be directories) and `audio`.
void classify(Entry& e, int dir_fd, const char* name) {
  if (e.type == DT_DIR || e.type == DT_LNK || e.type == DT_UNKNOWN) {
    struct stat st {};
    const int rc = dir_fd >= 0 ? ::fstatat(dir_fd, name, &st, 0) : ::stat(e.path.c_str(), &st);
    if (rc == 0 && S_ISDIR(st.st_mode)) {
      e.directory = DirId{st.st_dev, st.st_ino};
      return;
    }
  }
  e.audio = is_audio_file(e.path);
}

// Runs body(i) for i in [0, n), in parallel when `parallel`.
template <class Body>
void for_each_index(bool parallel, std::size_t n, const Body& body) {
  if (parallel) {
    tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) { body(i); });
  } else {
    for (std::size_t i = 0; i < n; ++i) body(i);
  }
}

Result<std::vector<std::string>> scan(const std::string& dir, const Ancestor* ancestors) {
  std::unique_ptr<DIR, DirCloser> handle(::opendir(dir.c_str()));
  if (!handle) return os_error(errno);

  std::vector<Entry> entries;
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* d = ::readdir(handle.get());
    if (d == nullptr) {
      if (errno != 0) return os_error(errno);
      break;
    }
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    entries.push_back(Entry{join(dir, d->d_name), d->d_type, std::nullopt, false});
    names.emplace_back(d->d_name);
  }

  const bool parallel = entries.size() > kParallelEntries;
  const int dir_fd = ::dirfd(handle.get());
  for_each_index(parallel, entries.size(),
                 [&](std::size_t i) { classify(entries[i], dir_fd, names[i].c_str()); });
  handle.reset();

  std::vector<std::string> found;
  std::vector<const Entry*> subdirs;
  for (Entry& e : entries) {
    if (e.directory) {
      // A directory already on the current path is a link cycle: not again.
      if (ancestors == nullptr || !ancestors->contains(*e.directory)) subdirs.push_back(&e);
    } else if (e.audio) {
      found.push_back(std::move(e.path));
    }
  }

  std::vector<std::optional<Result<std::vector<std::string>>>> below(subdirs.size());
  for_each_index(parallel, subdirs.size(), [&](std::size_t i) {
    const Ancestor here{*subdirs[i]->directory, ancestors};
    below[i].emplace(scan(subdirs[i]->path, &here));
  });
  for (auto& r : below) {
    if (!r->ok()) return std::move(*r).error();
    std::vector<std::string>& files = r->value();
    found.insert(found.end(), std::make_move_iterator(files.begin()),
                 std::make_move_iterator(files.end()));
  }

  std::stable_sort(found.begin(), found.end(),
                   [](const std::string& a, const std::string& b) { return path_less(a, b); });
  return found;
}

// The next component of `p` from `pos` (skipping separators and "." after the
// first component); empty at the end. A leading '/' is its own component.
std::string_view next_component(std::string_view p, std::size_t& pos, bool first) {
  if (first && !p.empty() && p[0] == '/') {
    pos = 1;
    return p.substr(0, 1);
  }
  for (;;) {
    while (pos < p.size() && p[pos] == '/') ++pos;
    if (pos >= p.size()) return {};
    const std::size_t end = std::min(p.find('/', pos), p.size());
    const std::string_view c = p.substr(pos, end - pos);
    pos = end;
    if (c == "." && !first) continue;
    return c;
  }
}

}  // namespace

bool is_audio_file(std::string_view path) {
  return audio_extension_of(path) != AudioExtension::Other;
}

bool path_less(std::string_view a, std::string_view b) {
  std::size_t pa = 0;
  std::size_t pb = 0;
  for (bool first = true;; first = false) {
    const std::string_view ca = next_component(a, pa, first);
    const std::string_view cb = next_component(b, pb, first);
    if (ca.empty() || cb.empty()) return ca.empty() && !cb.empty();
    const int c = ca.compare(cb);
    if (c != 0) return c < 0;
  }
}

Result<std::vector<std::string>> scan_directory_recursively(const std::string& dir) {
  if (Status valid = check_path(dir); !valid) return std::move(valid).error();
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) {
    const Ancestor root{DirId{st.st_dev, st.st_ino}, nullptr};
    return scan(dir, &root);
  }
  return scan(dir, nullptr);
}

Result<std::vector<std::string>> find_audio_files(const std::string& path) {
  struct stat st {};
  if (check_path(path) && ::stat(path.c_str(), &st) == 0) {
    if (S_ISREG(st.st_mode)) {
      if (is_audio_file(path)) return std::vector<std::string>{path};
      return Error("Not a supported audio file: " + quoted_path(path));
    }
    if (S_ISDIR(st.st_mode)) return scan_directory_recursively(path);
  }
  return Error("Path does not exist: " + quoted_path(path));
}

}  // namespace sonorik::utils
