/*
 * The least a process must do to hand one audit-trail event to the daemon,
 * as the yardstick for the trailsend command measured as a whole process:
 * look up the real user, read the daemon's configuration file, connect to the
 * daemon's socket, exchange the handshake words (3 out, 1 back), enable
 * SO_PASSCRED and write the same ATProxySetAuditTrailEvent request (about 250
 * bytes) the command writes for "trailsend 200 x ''".
 *
 *   trailsend_baseline CONFIG_PATH SOCKET_PATH
 *
 * Exit status 0 when the request was written, 1 otherwise. No parsing of the
 * configuration beyond reading it, no logging.
 */
#include <fcntl.h>
#include <pwd.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

enum { WIRE_END = 0, WIRE_UINT32 = 3, WIRE_STRING = 4, WIRE_BLOB = 6 };

static unsigned char *put(unsigned char *p, const void *data, size_t n)
{
    memcpy(p, data, n);
    return p + n;
}

static unsigned char *put_u32(unsigned char *p, uint32_t value)
{
    return put(p, &value, sizeof value);
}

static unsigned char *put_item(unsigned char *p, unsigned char wire, const void *data, uint32_t n)
{
    *p++ = wire;
    if (!data)
        return put_u32(p, 0xFFFFFFFFu);
    p = put_u32(p, n);
    return put(p, data, n);
}

static unsigned char *put_text(unsigned char *p, const char *text)
{
    const uint32_t size = (uint32_t)strlen(text) + 1;
    *p++ = WIRE_UINT32;
    p = put_u32(p, 8);
    *p++ = WIRE_UINT32;
    p = put_u32(p, size);
    return put_item(p, WIRE_BLOB, text, size);
}

/* Reads the whole configuration file, as the client reader maps it. */
static int read_configuration(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat info;
    int ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok && info.st_size > 0) {
        void *base = mmap(NULL, (size_t)info.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (base != MAP_FAILED) {
            volatile unsigned char sum = 0;
            for (off_t i = 0; i < info.st_size; ++i)
                sum ^= ((const unsigned char *)base)[i];
            munmap(base, (size_t)info.st_size);
        }
    }
    close(fd);
    return ok;
}

static int write_all(int fd, const void *data, size_t n)
{
    const unsigned char *p = data;
    while (n > 0) {
        ssize_t done = send(fd, p, n, MSG_NOSIGNAL);
        if (done < 0)
            return -1;
        p += done;
        n -= (size_t)done;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return 1;
    const uint64_t parent = (uint64_t)getppid();
    const struct passwd *entry = getpwuid(getuid());
    if (!entry)
        return 1;
    read_configuration(argv[1]);

    unsigned char frame[512];
    unsigned char *p = frame + 8;
    const uint16_t type = 1200;
    const uint32_t code = 200;
    p = put(p, &type, sizeof type);
    p = put_item(p, WIRE_STRING, "Norvalex Suite", 14);
    p = put_item(p, WIRE_STRING, "Norvalex Commands", 17);
    *p++ = WIRE_UINT32;
    p = put_u32(p, code);
    p = put_item(p, WIRE_BLOB, NULL, 0);
    p = put_item(p, WIRE_STRING, NULL, 0);
    p = put_item(p, WIRE_STRING, entry->pw_name, (uint32_t)strlen(entry->pw_name));
    p = put_item(p, WIRE_BLOB, NULL, 0);
    p = put_item(p, WIRE_STRING, getenv("QR_SESSION_ID"), 0);
    p = put_item(p, WIRE_BLOB, &parent, sizeof parent);
    p = put_text(p, "x");
    p = put_text(p, "none");
    *p++ = WIRE_UINT32;
    p = put_u32(p, 0);
    *p++ = WIRE_END;
    const uint32_t magic = 0xABCD8012u;
    const uint32_t length = (uint32_t)(p - frame);
    memcpy(frame, &magic, 4);
    memcpy(frame + 4, &length, 4);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 1;
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, argv[2], sizeof address.sun_path - 1);
    int32_t word = 3;
    int status = 1;
    if (connect(fd, (struct sockaddr *)&address, sizeof address) == 0 && write_all(fd, &word, sizeof word) == 0 &&
        recv(fd, &word, sizeof word, MSG_WAITALL) == (ssize_t)sizeof word && word == 1) {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
        status = write_all(fd, frame, length) == 0 ? 0 : 1;
    }
    close(fd);
    return status;
}
