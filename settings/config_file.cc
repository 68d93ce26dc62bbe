#include <cctype>
#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>

#include "generated/version.h"
#include "settings/config.h"
#include "settings/keys.h"
#include "settings/read_settings.h"

namespace vmrsmgr {
namespace {

using boost::property_tree::ini_parser::ini_parser_error;

bool starts_with(const std::string& text, const char* start) {
  return text.compare(0, std::char_traits<char>::length(start), start) == 0;
}

void append_utf8(std::string& text, std::uint32_t c) {
  const auto byte = [&text](std::uint32_t b) { text.push_back(static_cast<char>(b)); };
  if (c < 0x80) {
    byte(c);
  } else if (c < 0x800) {
    byte(0xC0 | c >> 6);
    byte(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    byte(0xE0 | c >> 12);
    byte(0x80 | (c >> 6 & 0x3F));
    byte(0x80 | (c & 0x3F));
  } else {
    byte(0xF0 | c >> 18);
    byte(0x80 | (c >> 12 & 0x3F));
    byte(0x80 | (c >> 6 & 0x3F));
    byte(0x80 | (c & 0x3F));
  }
}

// Notepad's "Unicode" and "Unicode big endian" as UTF-8, the program's narrow
// text wherever Windows honours its manifest's code page.
std::string from_utf16(const std::string& bytes, bool little_endian, const std::string& file) {
  if (bytes.size() % 2 != 0) throw ini_parser_error("odd length for UTF-16 text", file, 0);
  const auto unit = [&bytes, little_endian](std::size_t i) {
    const auto b = [&bytes](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
    return little_endian ? std::uint32_t{b(i)} | std::uint32_t{b(i + 1)} << 8
                         : std::uint32_t{b(i)} << 8 | std::uint32_t{b(i + 1)};
  };
  std::string text;
  for (std::size_t i = 2; i < bytes.size(); i += 2) {
    std::uint32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
      const std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // half of a pair
    append_utf8(text, c);
  }
  return text;
}

// The file's text with '\n' line ends, whatever its encoding mark and its
// line ends: CR LF, LF, or CR alone as old editors save.
std::string read_text(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ini_parser_error("cannot open file", file, 0);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw ini_parser_error("read error", file, 0);
  std::string text;
  if (starts_with(bytes, "\xEF\xBB\xBF")) {
    text = bytes.substr(3);
  } else if (starts_with(bytes, "\xFF\xFE") || starts_with(bytes, "\xFE\xFF")) {
    text = from_utf16(bytes, bytes[0] == '\xFF', file);
  } else {
    text = std::move(bytes);
  }
  std::string lines;
  lines.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      lines.push_back(text[i]);
    } else if (i + 1 == text.size() || text[i + 1] != '\n') {
      lines.push_back('\n');
    }
  }
  return lines;
}

std::string trimmed(const std::string& text) {
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && blank(text[begin])) ++begin;
  while (end > begin && blank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool is_comment(const std::string& line) {
  return !line.empty() && (line[0] == ';' || line[0] == '#');
}

// What the INI reader would pass over in silence: text after a section's
// ']' makes the file invalid (a comment may follow); the names of entries
// before the first section, which belong to no section, are given back.
std::vector<std::string> check_lines(const std::string& text, const std::string& file) {
  std::vector<std::string> outside;
  std::istringstream in(text);
  std::string line;
  bool in_section = false;
  for (unsigned long number = 1; std::getline(in, line); ++number) {
    line = trimmed(line);
    if (line.empty() || is_comment(line)) continue;
    const std::size_t equals = line.find('=');
    if (line[0] == '[') {
      const std::size_t end = line.find(']');
      if (end == std::string::npos) continue;  // the reader names it
      const std::string rest = trimmed(line.substr(end + 1));
      if (!rest.empty() && !is_comment(rest)) {
        throw ini_parser_error("text after the section's ']'", file, number);
      }
      in_section = true;
    } else if (!in_section && equals != std::string::npos) {
      outside.push_back(trimmed(line.substr(0, equals)));
    }
  }
  return outside;
}

// The INI reader, given the text as it was meant.
struct ParsedFile {
  boost::property_tree::ptree tree;
  std::vector<std::string> outside_sections;
};

ParsedFile parse_ini(const std::string& file) {
  const std::string text = read_text(file);
  ParsedFile parsed;
  try {
    parsed.outside_sections = check_lines(text, file);
    std::istringstream in(text);
    in.imbue(std::locale());
    boost::property_tree::read_ini(in, parsed.tree);
  } catch (const ini_parser_error& e) {
    throw ini_parser_error(e.message(), file, e.line());
  }
  return parsed;
}

// A value in one pair of double quotes, as one writes a path with blanks,
// is meant without them.
std::string unquoted(const std::string& value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

bool is_known(const std::string& key) {
  for (const char* known : {keys::kLogDir, keys::kRotationSize, keys::kMaxLogs, keys::kDebug}) {
    if (key == known) return true;
  }
  return false;
}

// One line for each entry of the file that nobody reads. (The reader drops
// an empty section: it holds nothing to ignore.)
std::vector<std::string> unread_parts(const ParsedFile& parsed, const std::string& file) {
  std::vector<std::string> notices;
  const auto outside = [&parsed](const std::string& name) {
    for (const std::string& o : parsed.outside_sections) {
      if (o == name) return true;
    }
    return false;
  };
  for (const auto& section : parsed.tree) {
    if (outside(section.first)) {
      notices.push_back("Setting " + section.first + " in " + file +
                        " stands before any [section] and is ignored");
    }
    for (const auto& entry : section.second) {
      const std::string key = section.first + "." + entry.first;
      if (!is_known(key))
        notices.push_back("Unknown setting " + key + " in " + file + " is ignored");
    }
  }
  return notices;
}

}  // namespace

std::string Config::merge_config_file() {
  const boost::filesystem::path file(tree_.get<std::string>(keys::kConfigFile));
  // A missing file, or a directory in its place, leaves the other sources.
  config_notices_.clear();
  if (!boost::filesystem::is_regular_file(file)) return {};

  try {
    const ParsedFile parsed = parse_ini(file.string());
    // Merged into a copy: a rejected file adds nothing.
    boost::property_tree::ptree merged = tree_;
    for (const auto& section : parsed.tree) {
      for (const auto& entry : section.second) {
        const std::string key = section.first + "." + entry.first;
        if (merged.get<std::string>(key, "").empty()) {
          merged.put(key, unquoted(entry.second.data()));
        }
      }
    }
    try {
      // The service would refuse these numbers; refused here, the file is
      // named with them.
      log_settings(merged);
    } catch (const std::invalid_argument& e) {
      return file.string() + ": " + e.what();
    }
    tree_.swap(merged);
    config_notices_ = unread_parts(parsed, file.string());
  } catch (const std::exception& e) {
    return e.what();
  }
  return {};
}

ServiceFiles Config::service_files() {
  std::string problem;
  try {
    problem = merge_config_file();
  } catch (const std::exception& e) {
    problem = e.what();
  }
  return files_found(problem);
}

ServiceFiles Config::files_found(const std::string& config_problem) const {
  ServiceFiles files;
  files.config_problem = config_problem;
  // A refused file leaves the defaults, which the service then uses too.
  files.config_file = tree_.get<std::string>(keys::kConfigFile, "");
  const LogSettings log = log_settings(tree_);
  files.log_folder = log.folder;
  files.log_file = log_file_path(log).string();
  files.command = component_command(tree_);
  return files;
}

void Config::log_start_notes(const std::string& program_path) {
  logger_.log(std::string(kVersionText) + ", " + program_path);
  for (const std::string& notice : config_notices_) logger_.log(notice);
}

int Config::read_config() {
  config_error_ = merge_config_file();
  if (config_error_.empty()) return 0;
  std::cerr << "Error in Config::read_config: " << config_error_ << std::endl;
  return -1;
}

}  // namespace vmrsmgr
