// Starting the tool on Windows: a wide command line quoted the way the C
// runtime splits it, and standard streams handed over as inherited handles.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::wstring Wide(const std::string& utf8) {
  const int units =
      MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring wide(static_cast<size_t>(units > 0 ? units : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), units);
  wide.resize(wide.size() - 1);
  return wide;
}

// One argument as CommandLineToArgvW will split it back: quoted where it
// holds a space, a tab or a quote (or is empty), quotes escaped, and the
// backslashes before a quote doubled.
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() &&
      argument.find_first_of(L" \t\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t unit : argument) {
    if (unit == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(unit == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(unit);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

HANDLE OpenInheritable(const std::string& path, DWORD access,
                       DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(Wide(path).c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

StartedTool StartTool(const std::vector<std::string>& args,
                      const ToolOptions& options) {
  StartedTool tool;
  tool.scratch = MakeScratchDir();
  tool.capture_stdout = options.stdout_path.empty();
  const HANDLE in =
      OpenInheritable(options.stdin_path.empty() ? "NUL" : options.stdin_path,
                      GENERIC_READ, OPEN_EXISTING);
  // As a shell's ">" would: created or emptied.
  const HANDLE out = OpenInheritable(
      tool.capture_stdout ? tool.scratch + "/stdout" : options.stdout_path,
      GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE err =
      OpenInheritable(tool.scratch + "/stderr", GENERIC_WRITE, CREATE_ALWAYS);
  std::wstring command_line;
  std::vector<std::string> argv = options.prefix;
  argv.emplace_back(BRAVIK_PATH);
  argv.insert(argv.end(), args.begin(), args.end());
  for (const std::string& argument : argv) {
    command_line +=
        (command_line.empty() ? L"" : L" ") + Quoted(Wide(argument));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  const DWORD flags = options.new_process_group ? CREATE_NEW_PROCESS_GROUP : 0;
  const BOOL started =
      in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE &&
      err != INVALID_HANDLE_VALUE &&
      CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE,
                     flags, nullptr, nullptr, &startup, &process);
  for (const HANDLE handle : {in, out, err}) {
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
    }
  }
  if (started == 0) {
    RemoveTree(tool.scratch);
    throw std::runtime_error("could not start " + argv.front());
  }
  CloseHandle(process.hThread);
  tool.pid = static_cast<int>(process.dwProcessId);
  tool.process_handle = reinterpret_cast<intptr_t>(process.hProcess);
  return tool;
}

ToolRun WaitForTool(StartedTool* tool) {
  const auto process = reinterpret_cast<HANDLE>(tool->process_handle);
  ToolRun run;
  DWORD code = 0;
  DWORD waited = WaitForSingleObject(process, kToolDeadlineSeconds * 1000);
  if (waited == WAIT_TIMEOUT) {
    ADD_FAILURE() << "the tool had not ended after " << kToolDeadlineSeconds
                  << " s and was killed";
    TerminateProcess(process, 1);
    waited = WaitForSingleObject(process, INFINITE);
  }
  if (waited != WAIT_OBJECT_0 || GetExitCodeProcess(process, &code) == 0) {
    ADD_FAILURE() << "cannot wait for the tool: error " << GetLastError();
  } else {
    run.exit_status = static_cast<int>(code);
  }
  CloseHandle(process);
  if (tool->capture_stdout) {
    run.out = ReadText(tool->scratch + "/stdout");
  }
  run.err = ReadText(tool->scratch + "/stderr");
  RemoveTree(tool->scratch);
  tool->pid = -1;
  tool->process_handle = 0;
  return run;
}

size_t CountOpenFiles() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}
