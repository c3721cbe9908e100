#include "tests/update/update_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "tests/common/temp_folder.h"

namespace choralink::test {

namespace fs = std::filesystem;

void makeInstall(const fs::path& root, const std::string& version) {
  const fs::path dir = root / "versions" / version;
  fs::create_directories(dir / "bin");
  std::ofstream(dir / "choralink-package") << version << "\n";
  const fs::path program = dir / "bin" / "choralink";
  std::ofstream(program) << "#!/bin/sh\necho " << version << "\n";
  fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  fs::create_directory_symlink(fs::path("versions") / version, root / "current");
}

std::string makePackage(const fs::path& scratch, const std::string& version) {
  const std::string top = "Choralink-" + version + "-Linux";
  fs::create_directories(scratch);
  makeInstall(scratch / top, version);
  const fs::path archive = scratch / (top + ".tar.gz");
  const std::string command =
      "tar -czf '" + archive.string() + "' -C '" + scratch.string() + "' '" + top + "'";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("tar failed");
  return readFile(archive);
}

std::string startedVersion(const fs::path& root) {
  const std::string command = "'" + (root / "current" / "bin" / "choralink").string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "(could not start)";
  std::string out;
  char buffer[64];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
    out += buffer;
  ::pclose(pipe);
  while (!out.empty() && out.back() == '\n')
    out.pop_back();
  return out;
}

std::vector<std::string> tree(const fs::path& root) {
  std::vector<std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    std::string line = it->path().lexically_relative(root).string();
    if (it->is_symlink()) {
      line += " -> " + fs::read_symlink(it->path()).string();
      it.disable_recursion_pending();
    }
    out.push_back(line);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace choralink::test
