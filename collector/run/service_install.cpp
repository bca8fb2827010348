// --install and --uninstall: the collector as a systemd service. A unit
// file <unit dir>/NAME.service runs this program with --run-service and the
// arguments given; the multi-user.target.wants link enables it at boot.
// Nothing is started or stopped and systemctl is not run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "collector/core/log.h"
#include "collector/run/commands.h"
#include "toolkit/alloc.h"

namespace {

// The first line of every unit --install writes; --uninstall removes no
// unit without it, so it can never delete one an administrator wrote.
const char unit_marker[] = "# Installed by harvd --install; harvd --uninstall removes only units with this line.\n";
const char wants_dir[] = "multi-user.target.wants";
const size_t name_max = 200;

// A service name becomes a file name and a unit name.
bool name_valid(const char* name)
{
    size_t len = strlen(name);
    if (len == 0 || len > name_max || name[0] == '.') {
        return false;
    }
    for (size_t i = 0; i < len; ++i) {
        char c = name[i];
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && strchr("_.:-", c) == nullptr) {
            return false;
        }
    }
    return true;
}

// systemd ignores a whole line that is not valid UTF-8 and ends a value at a
// line break, so either would leave a unit that does not run what was typed.
bool text_storable(const std::string& text)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7f) {
                return false;
            }
            ++i;
            continue;
        }
        size_t extra = 0;
        unsigned long code = 0;
        if (c >= 0xc2 && c <= 0xdf) {
            extra = 1;
            code = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            extra = 2;
            code = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= extra) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xc0) != 0x80) {
                return false;
            }
            code = (code << 6) | (p[i + k] & 0x3f);
        }
        bool overlong = (extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000);
        if (overlong || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// One argument in double quotes as systemd reads it: backslash and quote
// escaped, '%' (specifiers) and '$' (variables) doubled.
void quote_append(std::string& out, const char* arg)
{
    out += '"';
    for (const char* p = arg; *p != '\0'; ++p) {
        switch (*p) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '%': out += "%%"; break;
        case '$': out += "$$"; break;
        default: out += *p;
        }
    }
    out += '"';
}

// The path of this program. A cut or "(deleted)" path would install a
// command that cannot start.
std::string program_path()
{
    char path[4096];
    ssize_t len = readlink("/proc/self/exe", path, sizeof path);
    int err = errno;
    if (len >= static_cast<ssize_t>(sizeof path)) {
        err = ENAMETOOLONG;
        len = -1;
    }
    static const char deleted[] = " (deleted)";
    const size_t deleted_len = sizeof deleted - 1;
    if (len > 0) {
        path[len] = '\0';
        if (static_cast<size_t>(len) > deleted_len && strcmp(path + len - deleted_len, deleted) == 0) {
            err = ENOENT;
            len = -1;
        }
    }
    if (len <= 0) {
        log_error_exit(err, "GetModuleFileName() failed: %d", err);
    }
    return std::string(path, static_cast<size_t>(len));
}

std::string working_directory()
{
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
        int err = errno;
        log_error_exit(err, "svc_install: CreateService() failed: %d", err);
    }
    std::string dir(cwd);
    free(cwd);
    return dir;
}

// The unit directory, open and writable: the counterpart of the service
// manager's database.
int unit_dir_open(const char* unit_dir)
{
    int dir = open(unit_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 || faccessat(dir, ".", W_OK, AT_EACCESS) != 0) {
        int err = errno;
        log_error_exit(err, "svc_openscm: OpenSCManager() failed: %d", err);
    }
    return dir;
}

void unit_dir_close(int dir)
{
    if (close(dir) != 0) {
        log_message("svc_closescm: CloseServiceHandle() failed: %d", errno);
    }
}

[[noreturn]] void install_fail(int err)
{
    log_error_exit(err, "svc_install: CreateService() failed: %d", err);
}

std::string unit_text(const char* display_name, const std::string& command,
                      const std::string& work_dir)
{
    std::string work_dir_value;
    for (char c : work_dir) {
        work_dir_value += c;
        if (c == '%') {
            work_dir_value += '%';
        }
    }
    std::string text = unit_marker;
    text += "[Unit]\n";
    text += "Description=";
    text += display_name;
    text += " (harvd DNS and DHCP collector)\n";
    text += "Wants=network-online.target\n";
    text += "After=network-online.target\n";
    text += "\n[Service]\n";
    text += "Type=notify\n";
    text += "WorkingDirectory=" + work_dir_value + "\n";
    text += "ExecStart=" + command + "\n";
    text += "\n[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

// Writes the whole text to a fresh hidden file and links it under its name,
// so the unit appears complete or not at all, and never replaces one.
void unit_create(int dir, const std::string& unit_name, const std::string& text)
{
    std::string temp = "." + unit_name + "." + std::to_string(getpid()) + ".tmp";
    unlinkat(dir, temp.c_str(), 0);
    int fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        install_fail(errno);
    }
    size_t done = 0;
    int err = 0;
    while (done < text.size() && err == 0) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) {
            err = errno;
        } else if (n > 0) {
            done += static_cast<size_t>(n);
        }
    }
    if (err == 0 && fchmod(fd, 0644) != 0) {
        err = errno;
    }
    if (close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && linkat(dir, temp.c_str(), dir, unit_name.c_str(), 0) != 0) {
        err = errno;
    }
    unlinkat(dir, temp.c_str(), 0);
    if (err != 0) {
        install_fail(err);
    }
}

void wants_link_create(int dir, const char* unit_dir, const std::string& unit_name)
{
    if (mkdirat(dir, wants_dir, 0755) != 0 && errno != EEXIST) {
        int err = errno;
        unlinkat(dir, unit_name.c_str(), 0);
        install_fail(err);
    }
    std::string target = std::string(unit_dir) + "/" + unit_name;
    std::string link = std::string(wants_dir) + "/" + unit_name;
    if (symlinkat(target.c_str(), dir, link.c_str()) != 0) {
        // Nothing half done stays behind.
        int err = errno;
        unlinkat(dir, unit_name.c_str(), 0);
        install_fail(err);
    }
}

// The unit, checked to be one --install wrote.
void unit_open_ours(int dir, const std::string& unit_name)
{
    int fd = openat(dir, unit_name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    int err = fd < 0 ? errno : 0;
    if (fd >= 0) {
        char head[sizeof unit_marker - 1];
        size_t got = 0;
        while (got < sizeof head) {
            ssize_t n = read(fd, head + got, sizeof head - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        close(fd);
        if (got != sizeof head || memcmp(head, unit_marker, sizeof head) != 0) {
            err = EPERM;
        }
    }
    if (err != 0) {
        log_error_exit(err, "svc_open: OpenService() failed: %d", err);
    }
}

}  // namespace

char* args_quote(int argc, char** argv, int first)
{
    std::string text;
    for (int i = first; i < argc; ++i) {
        if (i != first) {
            text += ' ';
        }
        quote_append(text, argv[i]);
    }
    return xstrdup(text.c_str());
}

void svc_install(const char* unit_dir, const char* name, const char* display_name, const char* quoted_args)
{
    std::string command;
    quote_append(command, program_path().c_str());
    command += " \"--run-service\" ";
    command += quoted_args;
    std::string work_dir = working_directory();

    int dir = unit_dir_open(unit_dir);
    // The parser strips blanks around a value and joins a line ending in a
    // backslash with the next: such a directory cannot be written down.
    bool work_dir_storable = !work_dir.empty() && work_dir.back() != ' ' && work_dir.back() != '\\';
    if (!name_valid(name) || !text_storable(command) || !text_storable(work_dir) || !work_dir_storable) {
        install_fail(EINVAL);
    }
    std::string unit_name = std::string(name) + ".service";
    unit_create(dir, unit_name, unit_text(display_name, command, work_dir));
    wants_link_create(dir, unit_dir, unit_name);
    unit_dir_close(dir);
}

void svc_uninstall(const char* unit_dir, const char* name)
{
    int dir = unit_dir_open(unit_dir);
    if (!name_valid(name)) {
        log_error_exit(EINVAL, "svc_open: OpenService() failed: %d", EINVAL);
    }
    std::string unit_name = std::string(name) + ".service";
    unit_open_ours(dir, unit_name);

    // The link first, so no moment leaves it pointing at nothing. Only a
    // link is removed: a file of that name is not ours.
    std::string link = std::string(wants_dir) + "/" + unit_name;
    struct stat st;
    if (fstatat(dir, link.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) &&
        unlinkat(dir, link.c_str(), 0) != 0) {
        int err = errno;
        log_error_exit(err, "svc_uninstall: DeleteService() failed: %d", err);
    }
    if (unlinkat(dir, unit_name.c_str(), 0) != 0) {
        int err = errno;
        log_error_exit(err, "svc_uninstall: DeleteService() failed: %d", err);
    }
    unit_dir_close(dir);
}
