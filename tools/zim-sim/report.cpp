// What a dry run tells: the transcript, the JSON report and the saved machine state.
#include "tools/zim-sim/dry_run.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

#include "platform/sim/captures.h"
#include "platform/sim/input_file.h"
#include "tools/zim-sim/common.h"
#include "tools/zim-sim/json.h"
#include "zim/driver/varn_ioctl.h"

namespace zimsim {

std::vector<std::string> TableNotes(const std::string& file, const sim::DumpInfo& d) {
  const std::string kind = sim::EntryPointName(d.kind);
  std::vector<std::string> notes;
  notes.push_back("SMBIOS " + d.version + ", " + kind + " entry point; table of " +
                  std::to_string(d.tableLength) + " bytes at file offset " + Hex(d.tableOffset) +
                  ", loaded at " + Hex(d.tableAddress) +
                  "; structures: " + (d.publishedCount ? std::to_string(*d.publishedCount) : "none") +
                  " published, " + std::to_string(d.foundCount) + " found");
  if (d.CountDiffers())
    notes.push_back("the entry point publishes " + std::to_string(*d.publishedCount) +
                    " structures, the table holds " + std::to_string(d.foundCount) +
                    ": ZIM walks the table by the published count");
  if (d.kind == sim::EntryPointKind::Smbios2) {
    notes.push_back("2.x entry point as published, at " + Hex(d.entryAt));
  } else if (d.tooLongFor2x) {
    notes.push_back(
        "no 2.x entry point: a 2.x entry point describes at most 65535 bytes, and this table has " +
        std::to_string(d.tableLength) + ", so a machine with it publishes only its " +
        (d.kind == sim::EntryPointKind::None ? std::string("3.x entry point, which a raw table does not hold")
                                             : kind + " entry point (here at " + Hex(d.entryAt) + ")") +
        ": ZIM finds no table");
  } else if (d.kind == sim::EntryPointKind::None) {
    notes.push_back(d.assumed2x
                        ? "assumed: " + sim::Displayed(BaseName(file)) +
                              " is a table without its entry point; a 2.x entry point at " + Hex(d.entryAt) +
                              " over it, counting the " + std::to_string(d.foundCount) +
                              " structures found (--no-assumed-entry runs without this assumption)"
                        : "no entry point: " + sim::Displayed(BaseName(file)) +
                              " is a table without one, and none is assumed: ZIM finds no table");
  } else if (d.assumed2x) {
    notes.push_back("assumed: a 2.x entry point at " + Hex(d.entryAt) + " over the same table, which " +
                    sim::Displayed(BaseName(file)) + " does not publish; on a machine with only its " + kind +
                    " entry point ZIM finds no table and ends with ERR3 (--no-assumed-entry runs without "
                    "this assumption)");
  } else {
    notes.push_back("only the " + kind + " entry point, at " + Hex(d.entryAt) +
                    ", and no 2.x entry point (--no-assumed-entry): ZIM finds no table");
  }
  return notes;
}

std::string Transcript(const Report& report, const sim::Machine& m) {
  // Command lines and the registry come from the inputs: shown as every name is, never raw.
  const auto D = [](const std::string& text) { return sim::Displayed(text); };
  std::ostringstream t;
  int n = 0;
  if (report.table) {
    t << "== the table: " << sim::Displayed(report.tableFile) << "\n";
    for (const std::string& note : TableNotes(report.tableFile, *report.table)) t << note << "\n";
  }
  for (const RunReport& r : report.runs) {
    t << "== run " << ++n << ": " << D(r.commandLine) << "\n";
    for (const std::string& c : r.ranAtStart) t << "at start, the platform ran: " << D(c) << "\n";
    for (const std::string& c : r.notFoundAtStart)
      t << "at start, the platform found no program to run: " << D(c) << "\n";
    for (const MessageShown& msg : r.messages) {
      std::string text = msg.text;
      std::replace(text.begin(), text.end(), '\n', ' ');
      t << "message " << msg.id << " [" << msg.buttons << "]: \"" << text << "\" -> " << msg.answer << "\n";
    }
    for (std::size_t size : r.stagedSizes) t << "image staged: " << size << " bytes\n";
    if (r.ioctls.count(varn::IOCTL_STAGE_IMAGE)) t << "stage result: " << r.stageResult << "\n";
    for (const CmosWrite& w : r.cmosWrites)
      t << "CMOS " << Hex(w.indexPort, 2) << "[" << Hex(w.location, 2) << "]: " << Hex(w.before, 2) << " -> "
        << Hex(w.after, 2)
        << (w.failed    ? ", refused by the device"
            : w.putBack ? " (put back)"
                        : "")
        << "\n";
    for (const std::string& note : r.tokenNotes) t << note << "\n";
    for (const TokenWriteFailure& f : r.tokenWriteFailures) {
      t << "token write failed in the middle: ";
      if (f.putBack) {
        t << "every byte it wrote put back, CMOS " << Hex(f.indexPort, 2) << " as before this write\n";
        continue;
      }
      t << "putting back failed, writing stopped; ";
      if (f.left.empty())
        t << "no byte it wrote had changed, CMOS " << Hex(f.indexPort, 2) << " as before this write";
      if (!f.left.empty()) t << "left:";
      for (const CmosWrite& l : f.left)
        t << " " << Hex(l.indexPort, 2) << "[" << Hex(l.location, 2) << "] " << Hex(l.after, 2) << " (was "
          << Hex(l.before, 2) << ")";
      t << "\n";
    }
    for (std::int32_t v : r.released) t << "image released in the driver with stage result " << v << "\n";
    for (const RegistryChange& c : r.registry) {
      if (c.deleted)
        t << "registry: deleted HKLM\\" << D(c.key) << " \"" << D(c.name) << "\"\n";
      else
        t << "registry: set HKLM\\" << D(c.key) << " \"" << D(c.name) << "\" = \"" << D(c.data) << "\"\n";
    }
    for (const std::string& l : r.launches) t << "started: " << D(l) << "\n";
    for (const std::string& l : r.launchesNotFound) t << "not started, no such program: " << D(l) << "\n";
    if (r.restartRequested)
      t << "restart requested: " << (r.restartAccepted ? "accepted" : "refused") << "\n";
    t << "dialog: text \"" << r.dialogText << "\", OK button " << (r.okVisible ? "visible" : "hidden")
      << (r.dialogShown ? "" : ", never shown") << "\n";
    if (!r.uncertain.empty()) t << "uncertain: " << r.uncertain << "\n";
    const std::string simulated = r.outcome + (r.errorCode.empty() ? "" : " " + r.errorCode);
    t << "outcome: " << (r.uncertain.empty() ? simulated : "uncertain (simulated: " + simulated + ")")
      << "\n";
  }
  if (!report.notFoundAtLastStart.empty()) t << "== the next start\n";
  for (const std::string& c : report.notFoundAtLastStart)
    t << "the platform found no program to run: " << D(c) << "\n";
  t << "== the machine afterwards\n";
  for (const sim::RegKey* key : m.registry.Keys())
    for (const sim::RegValue& v : key->values)
      t << "HKLM\\" << D(key->path) << " \"" << D(v.name) << "\" = \"" << D(ValueText(v.data)) << "\"\n";
  for (const auto& [port, bank] : m.cmos) {
    t << "CMOS " << Hex(port, 2) << ":";
    for (unsigned i = 0; i < 256; ++i) {
      if (i % 32 == 0) t << "\n  " << Hex(i, 2) << ":";
      t << " " << Hex(bank.bytes[i], 2).substr(2);
    }
    t << "\n";
  }
  return t.str();
}

std::uint32_t Crc32(const std::vector<std::uint8_t>& data) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::uint8_t b : data) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void CmosWritesJson(Json& j, const std::vector<CmosWrite>& writes) {
  j.BeginArray();
  for (const CmosWrite& w : writes) {
    j.BeginObject().Key("port").String(Hex(w.indexPort, 2)).Key("location").String(Hex(w.location, 2));
    j.Key("before").String(Hex(w.before, 2)).Key("after").String(Hex(w.after, 2));
    j.Key("result").String(w.failed ? "refused" : w.putBack ? "put back" : "written").EndObject();
  }
  j.EndArray();
}

std::string ToJson(const Report& report, const sim::Machine& m) {
  Json j;
  j.BeginObject();
  if (report.table) {
    const sim::DumpInfo& d = *report.table;
    j.Key("table").BeginObject();
    j.Key("file").String(report.tableFile);
    j.Key("smbios").String(d.version);
    j.Key("entry_point").String(sim::EntryPointName(d.kind));
    j.Key("entry_point_at").String(Hex(d.entryAt));
    j.Key("assumed_2x_entry_point").Bool(d.assumed2x);
    j.Key("structures").BeginObject().Key("published").Number(d.publishedCount);
    j.Key("found").Number(d.foundCount).Key("differ").Bool(d.CountDiffers()).EndObject();
    j.Key("table_offset").Number(d.tableOffset);
    j.Key("table_length").Number(d.tableLength);
    j.EndObject();
  }
  j.Key("runs").BeginArray();
  for (const RunReport& r : report.runs) {
    j.BeginObject();
    j.Key("command_line").String(r.commandLine);
    j.Key("outcome").String(r.uncertain.empty() ? r.outcome : "uncertain");
    j.Key("uncertain");
    if (r.uncertain.empty())
      j.Null();
    else
      j.String(r.uncertain).Key("simulated_outcome").String(r.outcome);
    j.Key("error_code").String(r.errorCode);
    j.Key("messages").BeginArray();
    for (const MessageShown& msg : r.messages)
      j.BeginObject()
          .Key("id")
          .Number(msg.id)
          .Key("text")
          .String(msg.text)
          .Key("buttons")
          .String(msg.buttons)
          .Key("answer")
          .String(msg.answer)
          .EndObject();
    j.EndArray();
    j.Key("dialog")
        .BeginObject()
        .Key("text")
        .String(r.dialogText)
        .Key("ok_visible")
        .Bool(r.okVisible)
        .EndObject();
    j.Key("cleanup_started").Bool(r.cleanupStarted);
    j.Key("restart_requested").Bool(r.restartRequested);
    j.Key("stage_result").Number(r.stageResult);
    j.Key("ioctls").BeginObject();
    for (const auto& [code, count] : r.ioctls) j.Key(Hex(code)).Number(count);
    j.EndObject();
    j.Key("cmos_writes");
    CmosWritesJson(j, r.cmosWrites);
    j.Key("token_notes").BeginArray();
    for (const std::string& note : r.tokenNotes) j.String(note);
    j.EndArray();
    j.Key("token_write_failures").BeginArray();
    for (const TokenWriteFailure& f : r.tokenWriteFailures) {
      j.BeginObject().Key("port").String(Hex(f.indexPort, 2));
      j.Key("outcome").String(f.putBack ? "put back" : "abandoned").Key("left").BeginArray();
      for (const CmosWrite& l : f.left) {
        j.BeginObject().Key("port").String(Hex(l.indexPort, 2)).Key("location").String(Hex(l.location, 2));
        j.Key("before").String(Hex(l.before, 2)).Key("after").String(Hex(l.after, 2)).EndObject();
      }
      j.EndArray().EndObject();
    }
    j.EndArray();
    j.EndObject();
  }
  j.EndArray();
  j.Key("cmos").BeginObject();
  for (const auto& [port, bank] : m.cmos) {
    std::string digits;
    for (std::uint8_t b : bank.bytes) digits += Hex(b, 2).substr(2);
    j.Key(Hex(port, 2)).String(digits);
  }
  j.EndObject();
  j.Key("registry").BeginObject();
  for (const sim::RegKey* key : m.registry.Keys()) {
    if (key->values.empty()) continue;
    j.Key(key->path.empty() ? "HKEY_LOCAL_MACHINE" : "HKEY_LOCAL_MACHINE\\" + key->path).BeginObject();
    for (const sim::RegValue& v : key->values) j.Key(v.name).String(ValueText(v.data));
    j.EndObject();
  }
  j.EndObject();
  j.Key("driver").BeginObject().Key("staged").BeginArray();
  for (const auto& image : m.varn.staged)
    j.BeginObject()
        .Key("bytes")
        .Number(static_cast<long long>(image.size()))
        .Key("crc32")
        .String(Hex(Crc32(image), 8))
        .EndObject();
  j.EndArray().Key("released").BeginArray();
  for (std::int32_t v : m.varn.released) j.Number(v);
  j.EndArray().EndObject();
  j.EndObject();
  return j.Text() + "\n";
}

std::string WriteOutput(const std::string& path, const void* data, std::size_t size) {
  const bool toStdout = path == "-";
  const std::string name = toStdout ? std::string("standard output") : sim::Displayed(path);
  errno = 0;
  std::FILE* f = toStdout ? stdout : std::fopen(path.c_str(), "wb");
  if (f == nullptr) return name + ": cannot be written: " + std::strerror(errno);
  // Every step is checked: a full disk shows only when the buffer is flushed or the file closed.
  bool ok = std::fwrite(data, 1, size, f) == size;
  ok = std::fflush(f) == 0 && ok;
  ok = std::ferror(f) == 0 && ok;
  const int error = errno;
  if (!toStdout) ok = std::fclose(f) == 0 && ok;
  if (ok) return {};
  return name + ": cannot be written: " + std::strerror(error != 0 ? error : errno != 0 ? errno : EIO);
}

std::string WriteOutput(const std::string& path, const std::string& text) {
  return WriteOutput(path, text.data(), text.size());
}

std::string CloseStdout() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || std::fclose(stdout) != 0)
    return std::string("standard output: cannot be written: ") + std::strerror(errno != 0 ? errno : EIO);
  return {};
}

std::string ReportClash(const std::vector<std::pair<std::string, std::string>>& reports,
                        const std::vector<std::string>& inputs) {
  namespace fs = std::filesystem;
  const auto id = [](const std::string& path) -> std::optional<std::pair<dev_t, ino_t>> {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return std::make_pair(st.st_dev, st.st_ino);
  };
  // `a` is a report, whose identity `ia` is looked up once for all the inputs.
  const auto same = [&](const std::string& a, const auto& ia, const std::string& b) {
    const auto ib = id(b);
    if (ia || ib) return ia == ib;
    // Made absolute first: a bare relative name has no existing part to be made canonical by.
    std::error_code ec;
    return fs::weakly_canonical(fs::absolute(a, ec), ec) == fs::weakly_canonical(fs::absolute(b, ec), ec);
  };
  const auto clash = [&](const std::string& option, const std::string& path, const auto& pathId,
                         const std::string& input) {
    if (!same(path, pathId, input)) return std::string();
    return option + " " + sim::Displayed(path) + ": " +
           (input == path ? std::string("an input of this run")
                          : "the same file as the input " + sim::Displayed(input)) +
           "; a report never overwrites an input";
  };
  for (std::size_t i = 0; i < reports.size(); ++i) {
    const auto& [option, path] = reports[i];
    const auto pathId = id(path);
    for (std::size_t k = 0; k < i; ++k)
      if (same(path, pathId, reports[k].second))
        return option + " " + sim::Displayed(path) + ": also the path of " + reports[k].first +
               "; each report needs its own file";
    for (const std::string& input : inputs) {
      std::string why = clash(option, path, pathId, input);
      // A capture folder's two files exist: only a report that exists can be one of them.
      if (why.empty() && pathId && sim::IsKernelTablesFolder(input))
        for (const char* part : {"/smbios_entry_point", "/DMI"})
          if (why.empty()) why = clash(option, path, pathId, input + part);
      if (!why.empty()) return why;
    }
  }
  return {};
}

std::string CheckSaveFolder(const std::string& folder, const std::string& json) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!json.empty() && json != "-") {
    const auto normal = [&ec](const std::string& p) {
      fs::path n = fs::weakly_canonical(fs::absolute(p, ec), ec);
      return n.has_filename() ? n : n.parent_path();
    };
    const fs::path report = normal(json);
    // The names Save gives its files.
    static const std::regex kSaved(R"(transcript\.txt|registry\.reg|0x[0-9A-Fa-f]+\.bin|staged-[0-9]+\.bin)");
    const bool saved = std::regex_match(report.filename().string(), kSaved);
    if (report == normal(folder) || (saved && report.parent_path() == normal(folder)))
      return "--json " + sim::Displayed(json) + ": also a path that --save " + sim::Displayed(folder) +
             " writes; each report needs its own file";
  }
  if (!fs::exists(folder, ec)) return {};
  if (!fs::is_directory(folder, ec)) return sim::Displayed(folder) + ": not a folder";
  if (!fs::is_empty(folder, ec))
    return sim::Displayed(folder) +
           ": not empty; --save writes into a new or empty folder, so that no file of " +
           "an earlier run is taken for this one's";
  return {};
}

std::string Save(const std::string& folder, const Report& report, const sim::Machine& m) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return sim::Displayed(folder) + ": cannot be created (" + ec.message() + ")";
  auto write = [&](const std::string& name, const void* data, std::size_t size) -> std::string {
    return WriteOutput((fs::path(folder) / name).string(), data, size);
  };
  std::string problem;
  for (const auto& [port, bank] : m.cmos)
    if (problem.empty()) problem = write(Hex(port, 2) + ".bin", bank.bytes.data(), bank.bytes.size());
  const std::string reg = m.registry.SaveReg();
  if (problem.empty()) problem = write("registry.reg", reg.data(), reg.size());
  for (std::size_t i = 0; i < m.varn.staged.size() && problem.empty(); ++i)
    problem =
        write("staged-" + std::to_string(i + 1) + ".bin", m.varn.staged[i].data(), m.varn.staged[i].size());
  const std::string transcript = Transcript(report, m);
  if (problem.empty()) problem = write("transcript.txt", transcript.data(), transcript.size());
  return problem;
}

}  // namespace zimsim
