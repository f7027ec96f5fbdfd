#pragma once
// The per-user typed key-value store. A key path such as "\Software\Drenmarq\Vobblix 1.1"
// is the TOML file $XDG_CONFIG_HOME/Drenmarq/Vobblix 1.1.toml (~/.config when unset), one
// top-level key per value: a DWORD is an integer in 0..4294967295, a REG_SZ a string.
// Writes are staged and reach the disk when the key is closed, in one atomic replacement
// (temporary file beside the file, fsync, rename; a link is kept and its target replaced), so the file on disk is always the old
// one or the new one.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace registry {

// The file that stands for a key path under the current user.
std::filesystem::path StorePath(std::string_view keyPath);

// Where KeepAside puts a file: "<path>.broken".
std::filesystem::path KeptAsidePath(const std::filesystem::path& path);
// Copies the file (the one it links to, if a link) to KeptAsidePath, byte for byte, before
// values that replace it are written; true when the copy exists, else the system's reason
// in *reason when asked for.
bool KeepAside(const std::filesystem::path& path, std::string* reason = nullptr);

// Why the last open found the file unusable, with its path and line; empty when it parsed.
struct ParseProblem {
    std::string message;
};

// UI thread only.
class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Opens an existing key for reading; false when the file is absent or unreadable. A file
    // that does not parse still opens, holding no values, and parseProblem() says why.
    bool OpenKeyReadOnly(std::string_view keyPath);
    // Opens a key for writing. When it is absent and canCreate, makes its folders and opens
    // it empty; the file appears, with what was written, when the key is closed.
    bool OpenKey(std::string_view keyPath, bool canCreate);
    // Makes the folders and an empty file; true when the key exists afterwards.
    bool CreateKey(std::string_view keyPath);
    // Writes staged values, if any, and forgets the key.
    // Throws report::FrameworkError "Failed to set data for '<name>'" when the disk refuses.
    void CloseKey();

    // Whether the open key holds a value of that name, of any type.
    bool ValueExists(std::string_view name) const;
    // Throw report::FrameworkError "Failed to get data for '<name>'" when absent and
    // "Invalid data type for '<name>'" when of another type.
    uint32_t ReadInteger(std::string_view name) const;
    bool ReadBool(std::string_view name) const;
    // An integer or a floating-point value, as a double; throws as ReadInteger does.
    double ReadNumber(std::string_view name) const;
    // Absent reads as empty; a value that is not a string is "Invalid data type".
    std::string ReadString(std::string_view name) const;
    // The value as the file holds it (-1, "2", 1.5, true), to name it in a report; empty when
    // absent.
    std::string ValueText(std::string_view name) const;

    void WriteInteger(std::string_view name, uint32_t value);
    void WriteBool(std::string_view name, bool value);
    // Written as a floating-point value.
    void WriteNumber(std::string_view name, double value);
    void WriteString(std::string_view name, std::string_view value);

    const std::optional<ParseProblem>& parseProblem() const { return parseProblem_; }

private:
    bool Load(const std::filesystem::path& path);
    void Commit();

    std::filesystem::path path_;
    struct Values;
    std::unique_ptr<Values> values_;
    bool open_ = false;
    bool writable_ = false;
    bool creating_ = false;
    std::string firstStaged_;
    std::optional<ParseProblem> parseProblem_;
};

} // namespace registry
