#include "tests/test_support.h"

#include <algorithm>
#include <fstream>
#include <future>
#include <iterator>
#include <random>
#include <stdexcept>

namespace varnel::test {

namespace fs = std::filesystem;

fs::path utf8_path(std::string_view name) {
  return {std::u8string_view(reinterpret_cast<const char8_t*>(name.data()),
                             name.size())};
}

std::string utf8_name(const fs::path& path) {
  const std::u8string name = path.u8string();
  return {reinterpret_cast<const char*>(name.data()), name.size()};
}

ScratchDir::ScratchDir() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate =
        fs::temp_directory_path() / ("varnel-test-" + std::to_string(random()));
    // False, without an error, when the name is taken.
    if (fs::create_directory(candidate)) {
      path = candidate;
      // Open to every user, whatever the umask, for the cases that run a
      // program as another one; the folders above it decide who reaches it.
      fs::permissions(path,
                      fs::perms::owner_all | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read |
                          fs::perms::others_exec,
                      fs::perm_options::replace);
      return;
    }
  }
  throw std::runtime_error("cannot make a scratch directory");
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

void write_file(const fs::path& path, const Bytes& bytes) {
  std::error_code error;
  const bool made = !fs::exists(path, error) && !error;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  if (!file.flush()) {
    throw std::runtime_error("cannot write " + utf8_name(path));
  }
  if (made) {
    fs::permissions(path,
                    fs::perms::owner_read | fs::perms::owner_write |
                        fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::replace);
  }
}

std::vector<std::string> names_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(utf8_name(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

Bytes read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    throw std::runtime_error("cannot read " + utf8_name(path));
  }
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

RunResult run_check(const std::vector<std::string>& args,
                    const ScratchDir& dir) {
  return run_program(VARNEL_CHECK_BINARY, args, dir.path);
}

std::map<std::string, Bytes> contents_of(const ScratchDir& dir) {
  std::map<std::string, Bytes> contents;
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    if (entry.is_regular_file()) {
      contents[utf8_name(entry.path().filename())] = read_file(entry.path());
    }
  }
  return contents;
}

Bytes block_with(
    std::initializer_list<std::pair<std::size_t, std::uint8_t>> set) {
  Bytes block(8192, 0);
  for (const auto& [index, value] : set) {
    block.at(index) = value;
  }
  return block;
}

Bytes block_filled(std::uint8_t value) { return Bytes(8192, value); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

Bytes zero_record_file() {
  return concat({{0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0xDF},
                 block_filled(0x00)});
}

RunResult run_binary(const std::vector<std::string>& args, const fs::path& cwd,
                     const std::function<void()>& in_child) {
  return run_program(VARNEL_BINARY, args, cwd, in_child);
}

std::string copy_for_anyone(const std::string& program, const ScratchDir& dir) {
  const fs::path copy = dir.path / fs::path(program).filename();
  fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy,
                  fs::perms::owner_all | fs::perms::group_read |
                      fs::perms::group_exec | fs::perms::others_read |
                      fs::perms::others_exec,
                  fs::perm_options::replace);
  return "./" + utf8_name(copy.filename());
}

std::string console_text(std::string_view text) {
#if defined(_WIN32)
  std::string lines;
  for (const char c : text) {
    if (c == '\n') {
      lines.push_back('\r');
    }
    lines.push_back(c);
  }
  return lines;
#else
  return std::string(text);
#endif
}

std::string banner_then(const std::string& message) {
  return console_text("Quenlo to Halvory Converter 0.9a by Orvek\n\n" +
                      message);
}

std::thread running_thread(std::function<void()> body) {
  // Shared with the thread, so that it outlives whichever side is last.
  auto started = std::make_shared<std::promise<void>>();
  std::future<void> running = started->get_future();
  std::thread thread([started, body = std::move(body)] {
    started->set_value();
    body();
  });
  running.wait();
  return thread;
}

}  // namespace varnel::test
