#include "app_commands.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "device_commands.h"
#include "progress_bar.h"
#include "text_table.h"

namespace vadoctl {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kListCommand = 501;
constexpr uint32_t kIconCommand = 502;
constexpr uint32_t kInstallCommand = 504;
constexpr uint32_t kUninstallCommand = 505;
constexpr uint32_t kArchiveCommand = 506;

std::string JsonArray(const std::vector<std::string>& texts) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartArray();
  for (const std::string& text : texts) {
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  }
  writer.EndArray();
  return buffer.GetString();
}

std::string Member(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return "";
  auto it = object.FindMember(key);
  if (it == object.MemberEnd()) return "";
  if (it->value.IsString()) return it->value.GetString();
  if (it->value.IsInt64()) return std::to_string(it->value.GetInt64());
  return "";
}

std::string Megabytes(const std::string& bytes) {
  if (bytes.empty()) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", std::stod(bytes) / 1e6);
  return text;
}

// (rapidjson's comparison of a value with a plain number recurses forever under C++20's
// rewritten operators, so numbers are read out first.)
int64_t StageOf(const rapidjson::Document& header) {
  if (!header.IsObject()) return -1;
  auto it = header.FindMember("stage");
  return it != header.MemberEnd() && it->value.IsInt64() ? it->value.GetInt64() : -1;
}

int Finish(const RequestOutcome& outcome, const char* what, int failures) {
  const int code = FinishRequest(what, outcome);
  return code == kExitOk && failures > 0 ? kExitFailed : code;
}

// 501: one JSON object per application (stage 1 messages).
RequestOutcome ListApps(DeviceSession& s, std::vector<rapidjson::Document>* apps) {
  return s.Run(kListCommand, "", [&](const AgentMessage& m, const rapidjson::Document& h) {
    if (m.kind != 2 || StageOf(h) != 1) return;
    rapidjson::Document app;
    app.Parse(m.body.c_str());
    if (app.IsObject()) apps->push_back(std::move(app));
  });
}

int RunAppsList(DeviceSession& s, bool readable) {
  std::vector<rapidjson::Document> apps;
  RequestOutcome outcome = ListApps(s, &apps);
  TextTable table({"BUNDLE ID", "VERSION", "NAME", "APP", "DATA"}, 44);
  for (const rapidjson::Document& app : apps) {
    if (!readable) {
      rapidjson::StringBuffer buffer;
      rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
      app.Accept(writer);
      std::cout << buffer.GetString() << '\n';
      continue;
    }
    std::string name = Member(app, "CFBundleDisplayName");
    if (name.empty()) name = Member(app, "CFBundleName");
    table.Add({Member(app, "CFBundleIdentifier"), Member(app, "CFBundleShortVersionString"), name,
               Megabytes(Member(app, "app-size")), Megabytes(Member(app, "data-size"))});
  }
  if (readable && outcome.answered) {
    std::cout << table.Render() << apps.size() << " applications\n";
  }
  std::cout.flush();
  return Finish(outcome, "apps", 0);
}

int RunIconsInto(DeviceSession& s, const CliOptions& options) {
  if (options.out_dir.empty()) {
    std::fprintf(stderr, "vadoctl: icons needs --out DIR\n");
    return 2;
  }
  std::vector<std::string> ids = options.args;
  if (ids.empty()) {
    std::vector<rapidjson::Document> apps;
    RequestOutcome listed = ListApps(s, &apps);
    if (!listed.answered || listed.code != 0) return Finish(listed, "apps", 0);
    for (const auto& app : apps) ids.push_back(Member(app, "CFBundleIdentifier"));
  }
  std::error_code error;
  fs::create_directories(options.out_dir, error);
  if (error) {
    std::fprintf(stderr, "vadoctl: cannot create %s: %s\n", options.out_dir.c_str(),
                 error.message().c_str());
    return 1;
  }
  std::set<std::string> used;
  int failures = 0;
  size_t written = 0;
  RequestOutcome outcome = s.Run(kIconCommand, JsonArray(ids), [&](const AgentMessage& m,
                                                                   const rapidjson::Document& h) {
    if (m.kind != 2 || !h.IsObject() || !h.HasMember("info") || !h["info"].IsObject()) return;
    std::string id = Member(h["info"], "bundle_id");
    std::string name = SafeFileName(id);
    for (int n = 2; used.count(name); ++n) name = SafeFileName(id) + "-" + std::to_string(n);
    used.insert(name);
    fs::path path = fs::path(options.out_dir) / (name + ".png");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(m.body.data(), static_cast<std::streamsize>(m.body.size()));
    if (!out) {
      std::fprintf(stderr, "vadoctl: cannot write %s\n", path.c_str());
      ++failures;
      return;
    }
    ++written;
    std::printf("%s\n", path.c_str());
  });
  if (outcome.answered && written < ids.size()) {
    std::fprintf(stderr, "vadoctl: %zu of %zu icons arrived\n", written, ids.size());
  }
  return Finish(outcome, "icons", failures);
}

// Install, uninstall and archive: progress per item, then one final message per item.
int RunItemsWithProgress(DeviceSession& s, uint32_t command, const char* what,
                         const std::vector<std::string>& items,
                    const std::vector<std::string>& labels) {
  ProgressDisplay progress(stdout, ::isatty(STDOUT_FILENO) == 1);
  size_t current = 0;
  int failures = 0;
  auto label = [&] { return current < labels.size() ? labels[current] : std::string("?"); };
  RequestOutcome outcome = s.Run(command, JsonArray(items), [&](const AgentMessage& m,
                                                                const rapidjson::Document& h) {
    int64_t code = h.IsObject() && h.HasMember("code") && h["code"].IsInt64() ? h["code"].GetInt64() : 0;
    if (m.kind == 2) {
      progress.Update(static_cast<int>(code), label());
    } else if (m.kind == 7 || m.kind == 6) {
      progress.Finish(label(), m.kind == 7 ? "done" : "failed");
      failures += m.kind == 6;
      ++current;
    }
  });
  return Finish(outcome, what, failures);
}

}  // namespace

std::string SafeFileName(const std::string& bundle_id) {
  if (bundle_id.empty()) return "_";
  std::string name;
  for (char c : bundle_id) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-' || c == '_';
    name += plain ? c : '_';
  }
  if (name[0] == '.') name.insert(name.begin(), '_');
  return name;
}

int RunApps(DeviceSession& session, const CliOptions& options) {
  return RunAppsList(session, options.readable.value_or(false));
}

int RunIcons(DeviceSession& session, const CliOptions& options) {
  return RunIconsInto(session, options);
}

int RunInstall(DeviceSession& session, const CliOptions& options) {
  std::vector<std::string> paths, labels;
  for (const std::string& file : options.args) {
    std::error_code error;
    fs::path absolute = fs::absolute(file, error);
    paths.push_back(error ? file : absolute.string());
    labels.push_back(fs::path(file).filename().string());
  }
  return RunItemsWithProgress(session, kInstallCommand, "install", paths, labels);
}

int RunUninstall(DeviceSession& session, const CliOptions& options) {
  return RunItemsWithProgress(session, kUninstallCommand, "uninstall", options.args, options.args);
}

int RunArchive(DeviceSession& session, const CliOptions& options) {
  return RunItemsWithProgress(session, kArchiveCommand, "archive", options.args, options.args);
}

}  // namespace vadoctl
