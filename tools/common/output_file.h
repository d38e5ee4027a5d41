// The files a tool writes. Each output is written to a temporary first and
// put in place only once every output of the run was produced, so that a
// failure never leaves one output replaced and another missing, nor half a
// file where the user's file was.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tools {

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // an output not committed is discarded
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Prepares an output: "-" is standard output (refused on a terminal),
    // a device (/dev/usb/lp0; NUL, COM1, LPT1 or \\.\NAME on Windows) is
    // opened at once and written at the commit, any other path is a regular
    // file. Fails, naming the path, when it could never be written.
    bool Open(const std::string& path, std::string& error);

    // Where the content goes: a stream, or a picture writer's output.
    std::FILE* file() const { return file_; }
    // The path, or "standard output".
    const std::string& name() const { return name_; }

    // Puts the content in place: a new or plain file is replaced by a
    // rename; a symbolic link, a file with other hard links or one in a
    // folder that cannot take a temporary is rewritten where it is;
    // standard output and devices get a copy.
    bool Commit(std::string& error);

private:
    enum class Kind { kStandardOutput, kDevice, kReplace, kRewrite };

    bool OpenTemporary(std::string& error);
    bool CopyTo(std::FILE* destination, std::string& error);
    bool WriteThrough(std::string& error);
    void Discard();

    Kind kind_ = Kind::kReplace;
    std::string path_;
    std::string name_;
    std::string temporary_;  // removed unless renamed into place
    int slot_ = -1;          // where a signal finds the temporary
    std::FILE* file_ = nullptr;
    std::FILE* device_ = nullptr;
    unsigned mode_ = 0;  // the replaced file's permissions (POSIX)
    bool exists_ = false;
};

// Commits the outputs in order once all were produced. On failure the
// message names the outputs already in place.
bool CommitAll(const std::vector<OutputFile*>& outputs, std::string& error);

// Puts a standard stream in binary mode on Windows; nothing elsewhere.
void SetBinary(std::FILE* file);

// Whether a path names a Windows device (NUL, CON, PRN, AUX, COM1-9,
// LPT1-9, with any extension or folder, or \\.\NAME), wherever it runs.
bool IsWindowsDeviceName(const std::string& path);

}  // namespace tools
