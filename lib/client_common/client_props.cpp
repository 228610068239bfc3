#include "client_common/client_props.h"

#include "client_common/byte_buffer.h"
#include "client_common/client_props_internal.h"
#include "client_common/lrpc2_session.h"
#include "client_common/lrpc2_status.h"
#include "client_common/well_known_paths.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define CLIENT_PROPS_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CLIENT_PROPS_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef CLIENT_PROPS_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Nested references are evaluated recursively; a deeper chain stays literal
// text like a cycle, so that a long chain cannot exhaust the stack.
const unsigned kMaxEvaluationDepth = 64;
// Bytes all substitutions of one table may produce together; references
// that double at every level would otherwise exhaust memory. A build may
// set a lower bound (the fuzz harnesses' copy of the library does, so that
// inputs which reach it cost a fraction of the time).
#ifndef CLIENT_PROPS_MAX_SUBSTITUTED_BYTES
#define CLIENT_PROPS_MAX_SUBSTITUTED_BYTES (1u << 20)
#endif
const uint64_t kMaxSubstitutedBytes = CLIENT_PROPS_MAX_SUBSTITUTED_BYTES;
// Longest variable name; a longer run of name bytes is cut here.
const size_t kMaxVariableName = 1024;
// Seconds a file read may take (see OpenMappedConfigFile).
const int kReadTimeLimit = 60;
// The settings files hold one line; built-ins read at most this much of it.
const size_t kBuiltinLineSize = 1024;

// ---------------------------------------------------------------------------
// Growing strings for keys, values and lists, on the shared byte buffer.

// First allocation of a value or list buffer; most are short.
const size_t kTextBufferSize = 64;
// The stack block a value is expanded in (ExpandPropertyValue).
const size_t kExpansionBlockSize = 256;

struct TextBuffer {
    explicit TextBuffer(size_t size = kTextBufferSize) { ByteBufferInit(&bytes, size); }
    ~TextBuffer() { ByteBufferRelease(&bytes, 0); }
    TextBuffer(const TextBuffer &) = delete;
    TextBuffer &operator=(const TextBuffer &) = delete;
    ByteBuffer bytes;
};

bool TextAppend(TextBuffer *buffer, const void *text, size_t n)
{
    return n == 0 || ByteBufferAppend(&buffer->bytes, text, n) != 0;
}

bool TextAppendByte(TextBuffer *buffer, int byte)
{
    return ByteBufferAppendByte(&buffer->bytes, static_cast<unsigned char>(byte)) != 0;
}

size_t TextUsed(const TextBuffer *buffer) { return ByteBufferUsed(&buffer->bytes); }

// The bytes written so far (null before the first).
const char *TextData(const TextBuffer *buffer) { return reinterpret_cast<const char *>(ByteBufferData(&buffer->bytes)); }

void TextTruncate(TextBuffer *buffer, size_t size) { ByteBufferTruncate(&buffer->bytes, size); }

void TextRelease(TextBuffer *buffer) { ByteBufferRelease(&buffer->bytes, 0); }

// Hands the text over as a NUL-terminated heap string; null when out of memory
// (the buffer is emptied either way).
char *TextDetach(TextBuffer *buffer)
{
    if (!TextAppendByte(buffer, '\0')) {
        TextRelease(buffer);
        return nullptr;
    }
    return reinterpret_cast<char *>(ByteBufferDetach(&buffer->bytes, nullptr));
}

// ---------------------------------------------------------------------------
// Character classes.

using clientprops::DecodeEscape;
using clientprops::IsBlank;
using clientprops::IsLineEnd;
using clientprops::IsWhiteSpace;

bool IsInlineWhiteSpace(int c) { return IsWhiteSpace(c) && !IsLineEnd(c); }

using clientprops::AndAtNul;
using clientprops::ByteClass;
using clientprops::ClassOf;
using clientprops::kListSeparators;
using clientprops::kWhiteSpaceBytes;

constexpr ByteClass kKeyStops = ClassOf(" \t:=\\");
constexpr ByteClass kValueStops = ClassOf("\"\\\n\r\f");
constexpr ByteClass kQuotedValueStops = ClassOf("\"\\ \t\n\r\f");

constexpr ByteClass kExpansionStops = AndAtNul(ClassOf("$\\ \t\n\v\f\r"));

// The bytes of a variable name: ASCII letters, digits, '_' and '.'.
constexpr ByteClass kNameBytes =
    ClassOf("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.");

bool IsNameByte(int c) { return kNameBytes.member[static_cast<unsigned char>(c)] != 0; }

// Equality of two names. Most names that differ already differ in their first
// byte, which spares the comparison of the rest.
bool NamesEqual(const char *a, const char *b) { return a[0] == b[0] && strcmp(a, b) == 0; }

// ---------------------------------------------------------------------------
// The bytes of a configuration and the cursor of their reader. A file's
// bytes are a copy read into memory (see OpenMappedConfigFile).

struct MappedConfigFile {
    const unsigned char *base = nullptr;
    const unsigned char *end = nullptr;
    const unsigned char *cursor = nullptr;
    unsigned char *owned = nullptr; // the bytes read from a file; null for the caller's bytes
};

// Moves the cursor to the first byte that ends a run (or to the end) and
// returns where the run began.
const unsigned char *SkipRun(MappedConfigFile *file, const ByteClass &stops)
{
    const unsigned char *run = file->cursor;
    const unsigned char *end = file->end;
    const unsigned char *member = stops.member;
    const unsigned char *p = run;
    while (p != end && member[*p] == 0)
        p++;
    file->cursor = p;
    return run;
}

bool AppendRun(TextBuffer *buffer, const unsigned char *run, const MappedConfigFile *file)
{
    return TextAppend(buffer, run, static_cast<size_t>(file->cursor - run));
}

// 0 to 255, or -1 at the end of the bytes: every byte value is data.
int NextByte(MappedConfigFile *file)
{
    if (file->cursor >= file->end)
        return -1;
    return *file->cursor++;
}

void StepBack(MappedConfigFile *file)
{
    if (file->cursor > file->base)
        file->cursor--;
}

int OpenErrorStatus(int error)
{
    switch (error) {
    case ENOENT: return PROP_NOT_FOUND;
    case ENOMEM:
    case ENFILE:
    case EMFILE: return PROP_OUT_OF_MEMORY;
    case EACCES: return PROP_NO_PERMISSION;
    default: return PROP_SYSTEM_ERROR;
    }
}

// Reads a whole file into memory. With `verify` (referenced files) the file
// must be owned by root and not writable by others. The tests are made on the
// open descriptor that is then read, so the file cannot be swapped in
// between; O_NONBLOCK keeps a FIFO from blocking the open, and anything but a
// regular file is refused. The bytes are a copy: a file cut short while it is
// read only gives fewer bytes (a mapping would fault on the lost pages), and
// a small file costs no mapping to set up and tear down.
int OpenMappedConfigFile(const char *path, bool verify, MappedConfigFile *file)
{
    *file = MappedConfigFile();
    if (path == nullptr || path[0] == '\0')
        return PROP_NOT_FOUND;
    if (path[0] != '/')
        return PROP_NOT_ABSOLUTE;

    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return OpenErrorStatus(errno);

    int status = 0;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        status = PROP_SYSTEM_ERROR;
        goto out;
    }
    if (verify && (info.st_uid != 0 || (info.st_mode & S_IWOTH) != 0)) {
        status = PROP_INSECURE_FILE;
        goto out;
    }
    if (info.st_size < 0 || static_cast<uint64_t>(info.st_size) > SIZE_MAX) {
        status = PROP_OUT_OF_MEMORY;
        goto out;
    }
    // An empty file is an empty configuration.
    if (info.st_size > 0) {
        size_t size = static_cast<size_t>(info.st_size);
        unsigned char *bytes = static_cast<unsigned char *>(malloc(size));
        if (bytes == nullptr) {
            status = PROP_OUT_OF_MEMORY;
            goto out;
        }
        // A regular file never makes a read wait; the time limit only spares
        // the loop from switching the descriptor to blocking reads.
        size_t length = 0;
        if (RecvUpTo(fd, bytes, size, kReadTimeLimit, 0, &length) != LRPC2_OK) {
            free(bytes);
            status = PROP_SYSTEM_ERROR;
            goto out;
        }
        file->base = bytes;
        file->owned = bytes;
        file->end = bytes + length;
    }
    file->cursor = file->base;
out:
    close(fd);
    return status;
}

void CloseMappedConfigFile(MappedConfigFile *file)
{
    free(file->owned);
    *file = MappedConfigFile();
}

// Skips the rest of a line from byte `c` on, then every line end after it;
// returns the first byte of the next non-empty line (or -1).
int SkipLineEnds(MappedConfigFile *file, int c)
{
    while (IsLineEnd(c))
        c = NextByte(file);
    return c;
}

int SkipLine(MappedConfigFile *file, int c)
{
    if (c >= 0 && !IsLineEnd(c)) {
        SkipRun(file, clientprops::kLineEndBytes);
        c = NextByte(file);
    }
    return SkipLineEnds(file, c);
}

// ---------------------------------------------------------------------------
// Readers of keys and values.

// Matches the leading bytes of a key against the sorted prefix list in one
// forward pass. On success the whole prefix is in `key`; otherwise *rejected
// holds the byte that ended the match (-1 at the end of the file).
// Returns 1 accepted, 0 rejected, -1 out of memory.
int MatchPrefix(MappedConfigFile *file, const char *const *prefixes, TextBuffer *key, int *rejected)
{
    size_t entry = 0;
    size_t matched = 0;
    int c = NextByte(file);
    for (;;) {
        const char *prefix = prefixes[entry];
        if (prefix == nullptr || c < 0)
            break;
        // An empty prefix is complete before any byte is matched; the byte
        // just read then belongs to the key.
        if (prefix[matched] == '\0') {
            StepBack(file);
            return TextAppend(key, prefix, matched) ? 1 : -1;
        }
        if (static_cast<unsigned char>(prefix[matched]) == c) {
            matched++;
            if (prefix[matched] == '\0')
                return TextAppend(key, prefix, matched) ? 1 : -1;
            c = NextByte(file);
            continue;
        }
        const char *following = prefixes[entry + 1];
        if (following == nullptr)
            break;
        if (matched > 0 && strncmp(following, prefix, matched) != 0)
            break;
        entry++;
    }
    *rejected = c;
    return 0;
}

// Reads the rest of a key: up to a space, tab, ':' or '=' (left unread) or
// the end of the file. Line ends do not end a key.
bool ReadKey(MappedConfigFile *file, TextBuffer *key)
{
    for (;;) {
        const unsigned char *run = SkipRun(file, kKeyStops);
        if (!AppendRun(key, run, file))
            return false;
        if (file->cursor >= file->end || *file->cursor != '\\')
            return true;
        file->cursor++;
        int c = NextByte(file);
        if (c < 0)
            return true;
        if (!TextAppendByte(key, DecodeEscape(c)))
            return false;
    }
}

// Reads the separator; false at the end of the file.
bool ReadSeparator(MappedConfigFile *file)
{
    int c = NextByte(file);
    if (c == '=')
        return true;
    if (c == ' ' || c == '\t' || c == ':') {
        int following = NextByte(file);
        if (following >= 0 && following != '=')
            StepBack(file);
        return true;
    }
    return false;
}

bool AppendEscaped(TextBuffer *value, int c)
{
    const unsigned char escape[2] = {'\\', static_cast<unsigned char>(c)};
    return TextAppend(value, escape, sizeof escape);
}

// Reads one value through the line end that ends it. Quoted blanks and
// backslashes, and escapes outside quotes, are kept as backslash escapes for
// the expansion to decode.
bool ReadValue(MappedConfigFile *file, TextBuffer *value)
{
    bool quoted = false;
    for (;;) {
        const unsigned char *run = SkipRun(file, quoted ? kQuotedValueStops : kValueStops);
        if (!AppendRun(value, run, file))
            return false;
        int c = NextByte(file);
        if (c < 0 || IsLineEnd(c))
            return true;
        if (quoted) {
            // A quote ends quoting; a backslash, space or tab stays literal.
            if (c == '"')
                quoted = false;
            else if (!AppendEscaped(value, c))
                return false;
            continue;
        }
        if (c == '"') {
            quoted = true;
            continue;
        }
        // A backslash: a continuation before a line end, else an escape kept
        // for the expansion.
        c = NextByte(file);
        if (c < 0)
            return true;
        if (IsLineEnd(c)) {
            do
                c = NextByte(file);
            while (IsBlank(c));
            if (!TextAppendByte(value, ' '))
                return false;
            if (c < 0)
                return true;
            StepBack(file);
        } else if (!AppendEscaped(value, c)) {
            return false;
        }
    }
}

// ---------------------------------------------------------------------------
// Entry blocks. An entry (its record, key and raw value) is carved from the
// table's current block, and every block is freed with the table: one
// allocation for many entries. Under AddressSanitizer the bytes between and
// after entries stay poisoned, so a read or write past an entry's end is
// still reported, as it would be for a block of its own.

} // namespace

struct ClientPropertyBlock {
    ClientPropertyBlock *next; // the block filled before
    size_t used;               // bytes of the room handed out
    size_t capacity;           // bytes of room behind this header
};

namespace {

// Room of a table's first block; each next block has twice the room of the
// one before, up to kLargestEntryBlock, so that a table of a few entries
// takes little memory and a long one few blocks. An entry larger than that
// gets a block of its own size.
const size_t kFirstEntryBlock = 256;
const size_t kLargestEntryBlock = 8192;
#ifdef CLIENT_PROPS_ADDRESS_SANITIZER
const size_t kEntryGap = 16;
#else
const size_t kEntryGap = 0;
#endif
const size_t kEntryAlignment = alignof(max_align_t);
const size_t kBlockHeaderSize = (sizeof(ClientPropertyBlock) + kEntryAlignment - 1) & ~(kEntryAlignment - 1);

unsigned char *BlockRoom(ClientPropertyBlock *block)
{
    return reinterpret_cast<unsigned char *>(block) + kBlockHeaderSize;
}

// Room for an entry of `size` bytes, aligned for its record; null when out
// of memory.
void *TakeEntryRoom(ClientPropertyTable *table, size_t size)
{
    size_t need = ((size + kEntryAlignment - 1) & ~(kEntryAlignment - 1)) + kEntryGap;
    ClientPropertyBlock *block = table->blocks;
    if (block == nullptr || block->capacity - block->used < need) {
        size_t capacity = kFirstEntryBlock;
        if (block != nullptr)
            capacity = block->capacity < kLargestEntryBlock / 2 ? 2 * block->capacity : kLargestEntryBlock;
        if (capacity < need)
            capacity = need;
        block = static_cast<ClientPropertyBlock *>(malloc(kBlockHeaderSize + capacity));
        if (block == nullptr)
            return nullptr;
        block->next = table->blocks;
        block->used = 0;
        block->capacity = capacity;
        table->blocks = block;
#ifdef CLIENT_PROPS_ADDRESS_SANITIZER
        ASAN_POISON_MEMORY_REGION(BlockRoom(block), capacity);
#endif
    }
    unsigned char *room = BlockRoom(block) + block->used;
    block->used += need;
#ifdef CLIENT_PROPS_ADDRESS_SANITIZER
    ASAN_UNPOISON_MEMORY_REGION(room, size);
#endif
    return room;
}

void FreeEntryBlocks(ClientPropertyTable *table)
{
    ClientPropertyBlock *block = table->blocks;
    while (block != nullptr) {
        ClientPropertyBlock *next = block->next;
#ifdef CLIENT_PROPS_ADDRESS_SANITIZER
        ASAN_UNPOISON_MEMORY_REGION(BlockRoom(block), block->capacity);
#endif
        free(block);
        block = next;
    }
    table->blocks = nullptr;
}

// An entry is gathered in its final layout (room for the record, the key and
// its NUL, the raw value) in a buffer on the stack, then copied into the
// table's entry block; a longer line moves to the heap while it is read.
const size_t kEntryScratchSize = 1024;

struct EntryScratch {
    EntryScratch() { Reset(); }
    void Reset()
    {
        // A line longer than the block moved to the heap: the next starts
        // in the block again.
        if (text.bytes.lent) {
            TextTruncate(&text, 0);
            return;
        }
        TextRelease(&text);
        ByteBufferInitInBlock(&text.bytes, block, sizeof block, 0);
    }
    unsigned char block[kEntryScratchSize];
    TextBuffer text;
};

// The entry gathered so far, whose key has keyLength bytes, copied into the
// table's entry block; null when out of memory.
ClientProperty *CopyEntry(ClientPropertyTable *table, EntryScratch *scratch, size_t keyLength)
{
    size_t used = TextUsed(&scratch->text);
    char *bytes = static_cast<char *>(TakeEntryRoom(table, used + 1));
    if (bytes == nullptr)
        return nullptr;
    ClientProperty *entry = reinterpret_cast<ClientProperty *>(bytes);
    memset(entry, 0, sizeof *entry);
    memcpy(bytes + sizeof *entry, ByteBufferData(&scratch->text.bytes) + sizeof *entry, used - sizeof *entry);
    bytes[used] = '\0';
    entry->key = bytes + sizeof *entry;
    entry->rawValue = entry->key + keyLength + 1;
    return entry;
}

int ReadEntries(MappedConfigFile *file, const char *const *prefixes, ClientPropertyTable *table)
{
    int status = 0;
    EntryScratch scratch;
    TextBuffer &block = scratch.text;
    int c = NextByte(file);
    for (;;) {
        if (c < 0)
            break;
        if (c == '#' || c == '!') {
            c = SkipLine(file, c);
            continue;
        }
        while (IsInlineWhiteSpace(c))
            c = NextByte(file);
        if (c < 0)
            break;
        if (IsLineEnd(c)) {
            c = SkipLineEnds(file, c);
            continue;
        }
        StepBack(file);

        // The record's room comes first; a rejected key leaves it for the next.
        if (TextUsed(&block) == 0 && ByteBufferReserve(&block.bytes, sizeof(ClientProperty)) == nullptr)
            goto out_of_memory;
        if (prefixes != nullptr) {
            int rejected = -1;
            int match = MatchPrefix(file, prefixes, &block, &rejected);
            if (match < 0)
                goto out_of_memory;
            if (match == 0) {
                c = SkipLine(file, rejected);
                continue;
            }
        }
        if (!ReadKey(file, &block))
            goto out_of_memory;
        // A key at the end of the file without a separator is dropped.
        if (!ReadSeparator(file))
            break;
        {
            size_t keyLength = TextUsed(&block) - sizeof(ClientProperty);
            if (!TextAppendByte(&block, '\0') || !ReadValue(file, &block))
                goto out_of_memory;
            ClientProperty *entry = CopyEntry(table, &scratch, keyLength);
            if (entry == nullptr)
                goto out_of_memory;
            entry->next = table->first;
            table->first = entry;
            scratch.Reset();
        }
        c = NextByte(file);
    }
    goto done;
out_of_memory:
    status = PROP_OUT_OF_MEMORY;
done:
    TextRelease(&block);
    return status;
}

// ---------------------------------------------------------------------------
// Built-in variables, read from the settings files of the data directory.

struct Builtin {
    const char *name;
    const char *settingSuffix;
};

const Builtin kBuiltins[PROP_BUILTIN_COUNT] = {
    {"JOINNAME", "host"},
    {"SITE", "site"},
    {"DOMAIN", "domain"},
    {"ZONE", "zonename"},
};

// Reads the first line of a settings file as fgets gives it (a line end that
// ends the line stays part of it). False when the file cannot be opened.
bool ReadSettingLine(const char *suffix, char *line)
{
    char path[4096];
    size_t directoryLength = strlen(DATA_DIRECTORY_PATH);
    size_t suffixLength = strlen(suffix);
    if (directoryLength + 5 + suffixLength >= sizeof path)
        return false;
    memcpy(path, DATA_DIRECTORY_PATH, directoryLength);
    memcpy(path + directoryLength, "kset.", 5);
    memcpy(path + directoryLength + 5, suffix, suffixLength + 1);

    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    // One read gives a regular file's first bytes, as many as the line may
    // hold; anything else gives what is there without waiting, or nothing.
    ssize_t length;
    do
        length = read(fd, line, kBuiltinLineSize - 1);
    while (length < 0 && errno == EINTR);
    close(fd);
    if (length < 0)
        length = 0;
    const char *lineEnd = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(length)));
    if (lineEnd != nullptr)
        length = lineEnd + 1 - line;
    line[length] = '\0';
    return true;
}

// The value of a built-in variable, read once per table. Returns null when
// the name is no built-in or its settings file cannot be read; *status is
// set only when out of memory.
const char *BuiltinValue(ClientPropertyTable *table, const char *name, int *status)
{
    int slot = -1;
    for (int i = 0; i < PROP_BUILTIN_COUNT; i++)
        if (NamesEqual(kBuiltins[i].name, name))
            slot = i;
    if (slot < 0)
        return nullptr;
    if (table->builtins[slot] != nullptr)
        return table->builtins[slot];

    char line[kBuiltinLineSize];
    if (!ReadSettingLine(kBuiltins[slot].settingSuffix, line))
        return nullptr;
    const char *value = line;
    size_t length = strlen(line);
    if (slot == PROP_BUILTIN_ZONE) {
        const char *common = strstr(line, "CN=");
        if (common == nullptr) {
            value = "<unknown>";
            length = strlen(value);
        } else {
            value = common + 3;
            const char *comma = strchr(value, ',');
            length = comma != nullptr ? static_cast<size_t>(comma - value) : strlen(value);
        }
    }
    char *copy = static_cast<char *>(malloc(length + 1));
    if (copy == nullptr) {
        *status = PROP_OUT_OF_MEMORY;
        return nullptr;
    }
    memcpy(copy, value, length);
    copy[length] = '\0';
    table->builtins[slot] = copy;
    return copy;
}

// Resolves a variable name: a built-in, an environment variable, or another
// entry that is not under evaluation. Null when nothing is found (or on
// failure, with *status set).
const char *ResolveVariable(ClientPropertyTable *table, const char *name, int *status)
{
    if (table != nullptr) {
        const char *value = BuiltinValue(table, name, status);
        if (value != nullptr || *status != 0)
            return value;
    }
    // A set-user-ID, set-group-ID or capability-raised run reads no
    // environment here: its caller must not steer the configuration it trusts.
    const char *value = secure_getenv(name);
    if (value != nullptr || table == nullptr)
        return value;
    ClientProperty *entry = FindClientProperty(table, name);
    if (entry == nullptr || (entry->flags & PROP_FLAG_UNDER_EVALUATION) != 0)
        return nullptr;
    if (table->evaluationDepth >= kMaxEvaluationDepth)
        return nullptr;
    table->evaluationDepth++;
    EvaluateClientProperty(entry, table, status);
    table->evaluationDepth--;
    if (*status != 0)
        return nullptr;
    return entry->evaluatedValue;
}

// The bytes a joined list item escapes, and the end of the item.
constexpr ByteClass kJoinStops = AndAtNul(kListSeparators);

// ---------------------------------------------------------------------------
// The look-up index: open addressing over the newest entry of each key. It is
// a cache of the list and answers exactly as a walk of the list would, so it
// is built when first needed and dropped whenever the list grows.

// Below this many entries a walk of the list costs less than building the
// index would.
const size_t kIndexMinimumEntries = 32;

} // namespace

struct ClientPropertyIndex {
    size_t mask;                 // slot count - 1; the slot count is a power of two
    ClientProperty **entries;    // null: empty slot
    uint32_t *hashes;
};

namespace {

// FNV-1a over the key as the C string that the comparisons see.
uint32_t KeyHash(const char *key)
{
    uint32_t hash = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p != '\0'; p++)
        hash = (hash ^ *p) * 16777619u;
    return hash;
}

// The slot that holds `key`, or the empty slot where it would go.
size_t IndexSlot(const ClientPropertyIndex *index, const char *key, uint32_t hash)
{
    size_t slot = hash & index->mask;
    while (index->entries[slot] != nullptr &&
           (index->hashes[slot] != hash || strcmp(index->entries[slot]->key, key) != 0))
        slot = (slot + 1) & index->mask;
    return slot;
}

// Null when out of memory: the list is then walked as before.
ClientPropertyIndex *BuildIndex(const ClientPropertyTable *table)
{
    size_t count = 0;
    for (const ClientProperty *entry = table->first; entry != nullptr; entry = entry->next)
        count++;
    // At most half the slots in use keeps the probe sequences short.
    size_t slots = 64;
    while (slots / 2 < count) {
        if (slots > SIZE_MAX / 2 / (sizeof(ClientProperty *) + sizeof(uint32_t)))
            return nullptr;
        slots *= 2;
    }
    ClientPropertyIndex *index = static_cast<ClientPropertyIndex *>(
        malloc(sizeof(ClientPropertyIndex) + slots * (sizeof(ClientProperty *) + sizeof(uint32_t))));
    if (index == nullptr)
        return nullptr;
    index->mask = slots - 1;
    index->entries = reinterpret_cast<ClientProperty **>(index + 1);
    index->hashes = reinterpret_cast<uint32_t *>(index->entries + slots);
    memset(index->entries, 0, slots * sizeof(ClientProperty *));
    // Newest first: a key already in the index keeps its newer entry.
    for (ClientProperty *entry = table->first; entry != nullptr; entry = entry->next) {
        uint32_t hash = KeyHash(entry->key);
        size_t slot = IndexSlot(index, entry->key, hash);
        if (index->entries[slot] == nullptr) {
            index->entries[slot] = entry;
            index->hashes[slot] = hash;
        }
    }
    return index;
}

void DropIndex(ClientPropertyTable *table)
{
    free(table->index);
    table->index = nullptr;
}

} // namespace

// ---------------------------------------------------------------------------

extern "C" {

const char *ClientPropertyStatusText(int code)
{
    switch (code) {
    case PROP_OUT_OF_MEMORY: return "Out of memory";
    case PROP_NOT_ABSOLUTE: return "pathname is not absolute";
    case PROP_NO_PERMISSION: return "insufficient permissions";
    case PROP_NOT_FOUND: return "file does not exist";
    case PROP_SYSTEM_ERROR: return "system error";
    case PROP_INSECURE_FILE: return "file is world writable or not root owned";
    default: return nullptr;
    }
}

ClientPropertyTable *ParseClientConfigText(const char *text, size_t length, const char *const *prefixes,
                                           int *status)
{
    ClientPropertyTable *table = nullptr;
    int result = 0;
    if (text == nullptr && length != 0) {
        result = PROP_NOT_FOUND;
    } else {
        table = static_cast<ClientPropertyTable *>(calloc(1, sizeof(ClientPropertyTable)));
        if (table == nullptr) {
            result = PROP_OUT_OF_MEMORY;
        } else {
            MappedConfigFile bytes;
            bytes.base = reinterpret_cast<const unsigned char *>(text);
            bytes.end = bytes.base + length;
            bytes.cursor = bytes.base;
            result = ReadEntries(&bytes, prefixes, table);
        }
    }
    if (result != 0) {
        FreeClientPropertyTable(table);
        table = nullptr;
    }
    if (status != nullptr)
        *status = result;
    return table;
}

ClientPropertyTable *ParseClientConfigFile(const char *path, const char *const *prefixes, int *status)
{
    MappedConfigFile file;
    ClientPropertyTable *table = nullptr;
    int result = OpenMappedConfigFile(path, false, &file);
    if (result == 0)
        table = ParseClientConfigText(reinterpret_cast<const char *>(file.base),
                                      static_cast<size_t>(file.end - file.base), prefixes, &result);
    CloseMappedConfigFile(&file);
    if (status != nullptr)
        *status = result;
    return table;
}

void FreeClientPropertyTable(ClientPropertyTable *table)
{
    if (table == nullptr)
        return;
    ClientProperty *entry = table->first;
    while (entry != nullptr) {
        ClientProperty *next = entry->next;
        if (entry->rawValueSeparate)
            free(entry->rawValue);
        free(entry->evaluatedValue);
        entry = next;
    }
    FreeEntryBlocks(table);
    for (char *builtin : table->builtins)
        free(builtin);
    DropIndex(table);
    free(table);
}

ClientProperty *FindClientProperty(const ClientPropertyTable *table, const char *key)
{
    if (table == nullptr || key == nullptr)
        return nullptr;
    if (table->index == nullptr) {
        size_t walked = 0;
        ClientProperty *entry = table->first;
        for (; entry != nullptr && walked < kIndexMinimumEntries; entry = entry->next, walked++)
            if (NamesEqual(entry->key, key))
                return entry;
        if (entry == nullptr)
            return nullptr;
        // The index is a cache that changes nothing a caller can see: the
        // table itself is never a constant object (tables are only made on
        // the heap here), so finding stays a read.
        const_cast<ClientPropertyTable *>(table)->index = BuildIndex(table);
        if (table->index == nullptr) {
            for (; entry != nullptr; entry = entry->next)
                if (NamesEqual(entry->key, key))
                    return entry;
            return nullptr;
        }
    }
    return table->index->entries[IndexSlot(table->index, key, KeyHash(key))];
}

ClientProperty *AddClientProperty(ClientPropertyTable *table, const char *key, const char *rawValue)
{
    if (table == nullptr || key == nullptr || rawValue == nullptr)
        return nullptr;
    size_t keySize = strlen(key) + 1;
    size_t valueSize = strlen(rawValue) + 1;
    ClientProperty *entry =
        static_cast<ClientProperty *>(TakeEntryRoom(table, sizeof(ClientProperty) + keySize + valueSize));
    if (entry == nullptr)
        return nullptr;
    memset(entry, 0, sizeof *entry);
    entry->key = reinterpret_cast<char *>(entry + 1);
    memcpy(entry->key, key, keySize);
    entry->rawValue = entry->key + keySize;
    memcpy(entry->rawValue, rawValue, valueSize);
    DropIndex(table);
    entry->next = table->first;
    table->first = entry;
    return entry;
}

int IsClientFileReference(const char *text)
{
    if (text == nullptr)
        return 0;
    while (IsBlank(static_cast<unsigned char>(*text)))
        text++;
    return strncmp(text, "file:/", 6) == 0;
}

} // extern "C"

namespace {

// Appends the expansion of `text` to `out`. False on failure, with *status
// set; `out` then holds part of the expansion.
bool ExpandInto(const char *text, ClientPropertyTable *table, TextBuffer *out, int *status)
{
    // Start of the latest run of literal white space, or SIZE_MAX when none.
    size_t whiteRun = SIZE_MAX;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (kWhiteSpaceBytes.member[*p] != 0)
        p++;
    while (*p != '\0') {
        int c = *p;
        if (c == '$') {
            size_t length = 0;
            while (length < kMaxVariableName && IsNameByte(p[1 + length]))
                length++;
            const char *value = nullptr;
            if (length > 0) {
                char name[kMaxVariableName + 1];
                memcpy(name, p + 1, length);
                name[length] = '\0';
                value = ResolveVariable(table, name, status);
                if (*status != 0)
                    return false;
            }
            if (value != nullptr) {
                size_t valueLength = strlen(value);
                if (table != nullptr) {
                    table->substitutedBytes += valueLength;
                    if (table->substitutedBytes > kMaxSubstitutedBytes) {
                        *status = PROP_OUT_OF_MEMORY;
                        return false;
                    }
                }
                if (!TextAppend(out, value, valueLength))
                    goto out_of_memory;
                whiteRun = SIZE_MAX;
                p += 1 + length;
                continue;
            }
            // Unresolved: the '$' and the name stay as ordinary text.
            if (!TextAppendByte(out, '$'))
                goto out_of_memory;
            whiteRun = SIZE_MAX;
            p++;
            continue;
        }
        if (c == '\\') {
            if (p[1] == '\0')
                break;
            if (!TextAppendByte(out, DecodeEscape(p[1])))
                goto out_of_memory;
            whiteRun = SIZE_MAX;
            p += 2;
            continue;
        }
        const unsigned char *run = p;
        if (kWhiteSpaceBytes.member[c] == 0) {
            while (kExpansionStops.member[*p] == 0)
                p++;
            whiteRun = SIZE_MAX;
        } else {
            if (whiteRun == SIZE_MAX)
                whiteRun = TextUsed(out);
            while (kWhiteSpaceBytes.member[*p] != 0)
                p++;
        }
        if (!TextAppend(out, run, static_cast<size_t>(p - run)))
            goto out_of_memory;
    }
    // Trailing white space is dropped.
    if (whiteRun != SIZE_MAX)
        TextTruncate(out, whiteRun);
    return true;
out_of_memory:
    *status = PROP_OUT_OF_MEMORY;
    return false;
}

} // namespace

extern "C" {

char *ExpandPropertyValue(const char *text, ClientPropertyTable *table, int *status)
{
    int localStatus = 0;
    if (status == nullptr)
        status = &localStatus;
    *status = 0;
    // Expanded on the stack, then copied into a block of its exact size: one
    // allocation for most values, where growing a heap buffer would take two
    // or three.
    unsigned char block[kExpansionBlockSize];
    TextBuffer out;
    ByteBufferInitInBlock(&out.bytes, block, sizeof block, 0);
    if (!ExpandInto(text != nullptr ? text : "", table, &out, status))
        return nullptr;
    size_t used = TextUsed(&out);
    char *result = static_cast<char *>(malloc(used + 1));
    if (result == nullptr) {
        *status = PROP_OUT_OF_MEMORY;
        return nullptr;
    }
    if (used > 0)
        memcpy(result, TextData(&out), used);
    result[used] = '\0';
    return result;
}

void ResolveFileReference(ClientProperty *entry, ClientPropertyTable *table, int *status)
{
    int localStatus = 0;
    if (status == nullptr)
        status = &localStatus;
    if (entry == nullptr)
        return;
    if ((entry->flags & PROP_FLAG_REFERENCE_RESOLVED) != 0) {
        *status = entry->referenceStatus;
        return;
    }
    entry->flags |= PROP_FLAG_REFERENCE_RESOLVED;
    if (!IsClientFileReference(entry->rawValue))
        return;

    entry->flags |= PROP_FLAG_UNDER_EVALUATION;
    int result = 0;
    MappedConfigFile file;
    TextBuffer list;
    // One item as read and as expanded, each NUL-terminated; the buffers
    // serve every item in turn.
    TextBuffer item;
    TextBuffer expanded;
    char *path = ExpandPropertyValue(entry->rawValue, table, &result);
    if (path == nullptr)
        goto done;
    // The file name follows "file:"; the expansion has dropped leading blanks.
    result = OpenMappedConfigFile(path + 5, true, &file);
    if (result != 0)
        goto done;
    {
        bool first = true;
        int c = NextByte(&file);
        for (;;) {
            while (IsWhiteSpace(c))
                c = NextByte(&file);
            if (c < 0)
                break;
            if (c == '#' || c == '!') {
                c = SkipLine(&file, c);
                continue;
            }
            StepBack(&file);
            TextTruncate(&item, 0);
            TextTruncate(&expanded, 0);
            if (!ReadValue(&file, &item) || !TextAppendByte(&item, '\0')) {
                result = PROP_OUT_OF_MEMORY;
                goto done;
            }
            if (!ExpandInto(TextData(&item), table, &expanded, &result))
                goto done;
            bool ok = TextAppendByte(&expanded, '\0') && (first || TextAppendByte(&list, ','));
            for (const char *q = TextData(&expanded); ok && *q != '\0';) {
                const char *run = q;
                while (kJoinStops.member[static_cast<unsigned char>(*q)] == 0)
                    q++;
                ok = TextAppend(&list, run, static_cast<size_t>(q - run));
                if (ok && *q != '\0')
                    ok = AppendEscaped(&list, static_cast<unsigned char>(*q++));
            }
            if (!ok) {
                result = PROP_OUT_OF_MEMORY;
                goto done;
            }
            first = false;
            c = NextByte(&file);
        }
        char *joined = TextDetach(&list);
        if (joined == nullptr) {
            result = PROP_OUT_OF_MEMORY;
            goto done;
        }
        if (entry->rawValueSeparate)
            free(entry->rawValue);
        entry->rawValue = joined;
        entry->rawValueSeparate = 1;
    }
done:
    CloseMappedConfigFile(&file);
    free(path);
    entry->flags &= static_cast<uint8_t>(~PROP_FLAG_UNDER_EVALUATION);
    entry->referenceStatus = result;
    if (result != 0)
        *status = result;
}

void EvaluateClientProperty(ClientProperty *entry, ClientPropertyTable *table, int *status)
{
    int localStatus = 0;
    if (status == nullptr)
        status = &localStatus;
    *status = 0;
    if (entry == nullptr)
        return;
    ResolveFileReference(entry, table, status);
    if (*status != 0 || entry->evaluatedValue != nullptr)
        return;
    entry->flags |= PROP_FLAG_UNDER_EVALUATION;
    char *value = ExpandPropertyValue(entry->rawValue, table, status);
    entry->flags &= static_cast<uint8_t>(~PROP_FLAG_UNDER_EVALUATION);
    entry->evaluatedValue = value;
}

} // extern "C"
