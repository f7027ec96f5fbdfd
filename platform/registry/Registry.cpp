#include "platform/registry/Registry.h"

#include "platform/report/Report.h"

#include <toml++/toml.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace registry {
namespace {

constexpr std::string_view kSoftwarePrefix = "\\Software\\";
constexpr std::string_view kExtension = ".toml";
constexpr int64_t kDwordMax = 4294967295;
// A save writes "<file>.tmp-XXXXXX" beside its target, then renames it over the target.
constexpr std::string_view kTempInfix = ".tmp-";
constexpr size_t kTempRandomChars = 6;
// Links are followed this deep before the path itself is taken as the target.
constexpr int kMaxLinkDepth = 40;
constexpr std::string_view kKeptAsideSuffix = ".broken";

report::FrameworkError Failure(std::string_view pattern, std::string_view name)
{
    return report::FrameworkError(std::string(pattern) + "'" + std::string(name) + "'");
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The file a write must replace: a settings file that is a link stays a link, and the file
// it points at is replaced instead.
std::filesystem::path Target(const std::filesystem::path& path)
{
    std::filesystem::path target = path;
    std::error_code ec;
    for (int depth = 0; depth < kMaxLinkDepth && std::filesystem::is_symlink(target, ec); ++depth) {
        const auto next = std::filesystem::read_symlink(target, ec);
        if (ec)
            break;
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    return target;
}

// Temporary files of a save that was cut short (a kill, a crash) are left beside the target;
// the next save clears them away.
void RemoveStaleTemporaries(const std::filesystem::path& target)
{
    const std::string prefix = target.filename().string() + std::string(kTempInfix);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(target.parent_path(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() == prefix.size() + kTempRandomChars && name.starts_with(prefix) &&
            entry.is_regular_file(ec) && !entry.is_symlink(ec))
            std::filesystem::remove(entry.path(), ec);
    }
}

// Replaces path with text so that a crash or a full disk leaves the old file or the new one.
bool ReplaceAtomically(const std::filesystem::path& path, const std::string& text)
{
    const std::filesystem::path target = Target(path);
    RemoveStaleTemporaries(target);
    std::string tmpl = (target.parent_path() / (target.filename().string() + std::string(kTempInfix) + "XXXXXX")).string();
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, 0600) == 0 && WriteAll(fd, text) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(tmpl.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(tmpl.c_str());
        return false;
    }
    // The rename itself must survive a crash too.
    const int dir = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace

std::filesystem::path StorePath(std::string_view keyPath)
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path base;
    if (xdg && *xdg)
        base = xdg;
    else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home ? home : ".") / ".config";
    }
    std::string_view rest = keyPath;
    if (rest.starts_with(kSoftwarePrefix))
        rest.remove_prefix(kSoftwarePrefix.size());
    while (rest.starts_with('\\'))
        rest.remove_prefix(1);
    std::string relative(rest);
    for (char& c : relative)
        if (c == '\\')
            c = '/';
    return base / (relative + std::string(kExtension));
}

struct Registry::Values {
    toml::table table;
};

Registry::Registry() : values_(std::make_unique<Values>()) {}

Registry::~Registry() = default;

bool Registry::Load(const std::filesystem::path& path)
{
    values_->table.clear();
    parseProblem_.reset();
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::stringstream text;
    text << in.rdbuf();
    if (in.bad())
        return false;
    try {
        values_->table = toml::parse(text.str(), path.string());
    } catch (const toml::parse_error& err) {
        std::ostringstream message;
        message << "The settings file '" << path.string() << "' could not be read (line "
                << err.source().begin.line << ": " << err.description() << ")";
        parseProblem_ = ParseProblem{message.str()};
    }
    return true;
}

bool Registry::OpenKeyReadOnly(std::string_view keyPath)
{
    CloseKey();
    path_ = StorePath(keyPath);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path_, ec))
        return false;
    open_ = Load(path_);
    writable_ = false;
    return open_;
}

bool Registry::CreateKey(std::string_view keyPath)
{
    const auto path = StorePath(keyPath);
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec))
        return true;
    std::filesystem::create_directories(path.parent_path(), ec);
    if (ec)
        return false;
    return ReplaceAtomically(path, "");
}

bool Registry::OpenKey(std::string_view keyPath, bool canCreate)
{
    CloseKey();
    path_ = StorePath(keyPath);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path_, ec)) {
        if (!canCreate)
            return false;
        // A new key reaches the disk whole, with its first values, when it is closed: a kill
        // or a full disk before then leaves no file rather than an empty one.
        std::filesystem::create_directories(path_.parent_path(), ec);
        if (ec || !std::filesystem::is_directory(path_.parent_path(), ec))
            return false;
        values_->table.clear();
        parseProblem_.reset();
        open_ = true;
        writable_ = true;
        creating_ = true;
        return true;
    }
    open_ = Load(path_);
    if (open_ && parseProblem_ && !KeepAside(path_)) {
        // The values written now would replace a file that cannot be read; it must be kept
        // beside them first, so nothing a user typed there is lost.
        open_ = false;
        return false;
    }
    writable_ = open_;
    return open_;
}

std::filesystem::path KeptAsidePath(const std::filesystem::path& path)
{
    return path.string() + std::string(kKeptAsideSuffix);
}

bool KeepAside(const std::filesystem::path& path, std::string* reason)
{
    std::error_code ec;
    std::filesystem::copy_file(Target(path), KeptAsidePath(path), std::filesystem::copy_options::overwrite_existing, ec);
    if (ec && reason)
        *reason = ec.message();
    return !ec;
}

void Registry::Commit()
{
    std::ostringstream text;
    text << values_->table << '\n';
    if (!ReplaceAtomically(path_, text.str()))
        throw Failure("Failed to set data for ", firstStaged_);
}

void Registry::CloseKey()
{
    const bool dirty = open_ && writable_ && (!firstStaged_.empty() || creating_);
    open_ = false;
    writable_ = false;
    creating_ = false;
    if (dirty) {
        try {
            Commit();
        } catch (...) {
            firstStaged_.clear();
            throw;
        }
        firstStaged_.clear();
    }
}

bool Registry::ValueExists(std::string_view name) const
{
    return open_ && values_->table.contains(name);
}

uint32_t Registry::ReadInteger(std::string_view name) const
{
    const toml::node* node = open_ ? values_->table.get(name) : nullptr;
    if (!node)
        throw Failure("Failed to get data for ", name);
    const auto value = node->value<int64_t>();
    if (!node->is_integer() || !value || *value < 0 || *value > kDwordMax)
        throw Failure("Invalid data type for ", name);
    return static_cast<uint32_t>(*value);
}

bool Registry::ReadBool(std::string_view name) const
{
    return ReadInteger(name) != 0;
}

double Registry::ReadNumber(std::string_view name) const
{
    const toml::node* node = open_ ? values_->table.get(name) : nullptr;
    if (!node)
        throw Failure("Failed to get data for ", name);
    const auto value = node->value<double>();
    if (!node->is_number() || !value)
        throw Failure("Invalid data type for ", name);
    return *value;
}

std::string Registry::ReadString(std::string_view name) const
{
    const toml::node* node = open_ ? values_->table.get(name) : nullptr;
    if (!node)
        return {};
    if (!node->is_string())
        throw Failure("Invalid data type for ", name);
    return std::string(*node->value<std::string_view>());
}

std::string Registry::ValueText(std::string_view name) const
{
    const toml::node* node = open_ ? values_->table.get(name) : nullptr;
    if (!node)
        return {};
    // A text as it is most often typed, in double quotes.
    if (const auto text = node->value<std::string_view>())
    {
        std::string quoted(1, '"');
        quoted.append(*text).push_back('"');
        return quoted;
    }
    std::ostringstream text;
    node->visit([&text](const auto& value) { text << value; });
    return text.str();
}

void Registry::WriteInteger(std::string_view name, uint32_t value)
{
    if (!open_ || !writable_)
        throw Failure("Failed to set data for ", name);
    values_->table.insert_or_assign(name, static_cast<int64_t>(value));
    if (firstStaged_.empty())
        firstStaged_ = name;
}

void Registry::WriteBool(std::string_view name, bool value)
{
    WriteInteger(name, value ? 1u : 0u);
}

void Registry::WriteNumber(std::string_view name, double value)
{
    if (!open_ || !writable_)
        throw Failure("Failed to set data for ", name);
    values_->table.insert_or_assign(name, value);
    if (firstStaged_.empty())
        firstStaged_ = name;
}

void Registry::WriteString(std::string_view name, std::string_view value)
{
    if (!open_ || !writable_)
        throw Failure("Failed to set data for ", name);
    values_->table.insert_or_assign(name, std::string(value));
    if (firstStaged_.empty())
        firstStaged_ = name;
}

} // namespace registry
