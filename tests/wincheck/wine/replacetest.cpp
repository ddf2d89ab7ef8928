// Runs the file-replacement core under Wine against a running executable that holds its
// own file open. Each case must end with a whole installation: all new after a success,
// all old after a failure, and either after an install stopped half way and recovered.
//   replacetest.exe <holder.exe> <work folder>
#include "platform/filereplace_core.h"
#include "platform/installjournal_core.h"

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

int g_failures = 0;

void expect(bool ok, const std::string &what)
{
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
    if (!ok)
        ++g_failures;
}

std::string readAll(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path &p, const std::string &bytes)
{
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

struct Case
{
    fs::path root, target, source;
    std::string holderBytes;
    std::map<std::string, std::string> oldFiles, newFiles;
    PROCESS_INFORMATION holder{};
    fs::path ready;

    Case(const fs::path &work, const std::string &name, const fs::path &holderExe)
        : root(work / name)
        , target(root / "Kovanta")
        , source(root / "staging")
    {
        std::error_code ec;
        fs::remove_all(root, ec);
        holderBytes = readAll(holderExe);
        oldFiles = {{"Vantrel.exe", holderBytes}, {"Qt5Core.dll", "old dll"}, {"formats/dataFormat.dll", "old format"}};
        newFiles = {{"Vantrel.exe", "new exe"}, {"Qt5Core.dll", "new dll"}, {"formats/dataFormat.dll", "new format"},
                    {"VantrelNew.exe", "new launcher"}};
        for (const auto &f : oldFiles)
            writeAll(target / fs::u8path(f.first), f.second);
        for (const auto &f : newFiles)
            writeAll(source / fs::u8path(f.first), f.second);
        ready = root / "ready";
    }

    std::vector<std::string> names() const
    {
        std::vector<std::string> n;
        for (const auto &f : newFiles)
            n.push_back(f.first);
        return n;
    }

    bool startHolder(const std::wstring &lockArg)
    {
        std::wstring cmd = L"\"" + (target / "Vantrel.exe").wstring() + L"\" \"" + ready.wstring() + L"\" \""
                           + lockArg + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, target.c_str(), &si, &holder))
            return false;
        for (int i = 0; i < 600 && !fs::exists(ready); ++i) {
            DWORD code = 0;
            if (GetExitCodeProcess(holder.hProcess, &code) && code != STILL_ACTIVE)
                return false;
            Sleep(50);
        }
        return fs::exists(ready);
    }

    void stopHolder()
    {
        writeAll(fs::path(ready.wstring() + L".quit"), "quit");
        WaitForSingleObject(holder.hProcess, 30000);
        CloseHandle(holder.hProcess);
        CloseHandle(holder.hThread);
    }

    // "new", "old" or "mixed"
    std::string state() const
    {
        bool allNew = true, allOld = true;
        for (const auto &f : newFiles) {
            const fs::path p = target / fs::u8path(f.first);
            allNew = allNew && fs::exists(p) && readAll(p) == f.second;
            const auto old = oldFiles.find(f.first);
            allOld = allOld && (old == oldFiles.end() ? !fs::exists(p) : readAll(p) == old->second);
        }
        return allNew ? "new" : allOld ? "old" : "mixed";
    }
};

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        std::printf("usage: replacetest.exe <holder.exe> <work folder>\n");
        return 2;
    }
    const fs::path holderExe = argv[1];
    const fs::path work = argv[2];
    filereplace::Options quick;
    quick.attempts = 3;
    quick.retryDelayMs = 50;

    {
        // The running program's own executable is replaced: moved aside, new one in.
        Case c(work, "inuse", holderExe);
        expect(c.startHolder(L"-"), "holder runs from the installation");
        std::error_code ec;
        fs::remove(c.target / "Vantrel.exe", ec);
        expect(ec.value() != 0 && fs::exists(c.target / "Vantrel.exe"), "the running executable cannot be deleted");
        const filereplace::Result r = filereplace::install(c.source, c.target, c.names(), {}, quick);
        expect(r.ok, "install over the running program succeeds: " + r.error);
        expect(c.state() == "new", "installation is all new (" + c.state() + ")");
        expect(readAll(c.target / "Vantrel.exe.old") == c.holderBytes, "the running executable was moved aside");
        expect(filereplace::removeAsideFiles(c.target) == 1, "the aside file of the running program stays listed");
        c.stopHolder();
        expect(filereplace::removeAsideFiles(c.target) == 0 && !fs::exists(c.target / "Vantrel.exe.old"),
               "the aside file goes at the next start");
    }
    {
        // A data file no one may touch: nothing moves at all.
        Case c(work, "locked", holderExe);
        expect(c.startHolder((c.target / "Qt5Core.dll").wstring()), "holder runs and locks a library");
        const filereplace::Result r = filereplace::install(c.source, c.target, c.names(), {}, quick);
        expect(!r.ok && !r.mixed, "install refuses: " + r.error);
        c.stopHolder(); // the locked file can be read again
        expect(c.state() == "old", "installation is all old (" + c.state() + ")");
        expect(fs::exists(c.source / "VantrelNew.exe"), "the new files stay staged");
    }
    {
        // The lock appears after the check, while the running executable is already aside:
        // the undo must bring it back.
        Case c(work, "late", holderExe);
        expect(c.startHolder(L"-"), "holder runs from the installation");
        HANDLE late = INVALID_HANDLE_VALUE;
        filereplace::Options o = quick;
        o.rename = [&](const fs::path &from, const fs::path &to) {
            if (late == INVALID_HANDLE_VALUE && from.filename() == L"dataFormat.dll" && from.parent_path().parent_path() == c.target)
                late = CreateFileW(from.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            return filereplace::platformRename(from, to);
        };
        const filereplace::Result r = filereplace::install(c.source, c.target, c.names(), {}, o);
        expect(late != INVALID_HANDLE_VALUE, "the late lock was taken");
        expect(!r.ok && !r.mixed, "install fails and is undone: " + r.error);
        if (late != INVALID_HANDLE_VALUE)
            CloseHandle(late);
        expect(c.state() == "old", "installation is all old (" + c.state() + ")");
        expect(!fs::exists(c.target / "Vantrel.exe.old"), "no aside file is left");
        c.stopHolder();
    }
    for (const bool loseStaged : {false, true}) {
        // Stopped after the running executable went aside (as a kill would stop it), then
        // the next start: finished while the staging is whole, undone when a file is lost.
        Case c(work, loseStaged ? "stopped-undone" : "stopped-finished", holderExe);
        expect(c.startHolder(L"-"), "holder runs from the installation");
        struct Stopped {};
        filereplace::Options o = quick;
        o.afterStep = [](int steps) {
            if (steps == 3) // Qt5Core.dll in, the running Vantrel.exe aside
                throw Stopped();
        };
        bool stopped = false;
        try {
            filereplace::install(c.source, c.target, c.names(), {}, o);
        } catch (const Stopped &) {
            stopped = true;
        }
        expect(stopped && fs::exists(c.target / filereplace::journalName()), "the install stopped with its journal");
        if (loseStaged)
            fs::remove(c.source / "formats" / "dataFormat.dll");
        const filereplace::Recovery r = filereplace::recover(c.source, c.target, quick);
        expect(r.ok && r.rolledForward == !loseStaged, "recovery " + std::string(loseStaged ? "undoes" : "finishes")
                                                           + " the install: " + r.error);
        expect(c.state() == (loseStaged ? "old" : "new"), "installation is whole (" + c.state() + ")");
        expect(!fs::exists(c.target / filereplace::journalName()), "the journal is gone");
        c.stopHolder();
        filereplace::removeAsideFiles(c.target);
        expect(!fs::exists(c.target / "Vantrel.exe.old") && !fs::exists(c.target / "Qt5Core.dll.old"),
               "no aside file is left");
    }
    std::printf("replacetest: %d failure(s)\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
