// Why a hive failed: the cause behind the last SQLite or file failure of a
// thread, SQLite's result codes as Win32 errors (the one place they become
// one), and the words that name a failing hive file.
#include "storage/hive_internal.h"

#include "internal/util.h"

#include <cerrno>

namespace orvane::platform::storage {

thread_local SqliteFailure t_sqlite;
thread_local Note t_note;

Cause CauseOfErrno(int e) {
    switch (e) {
    case EACCES:
    case EPERM:
        return Cause::Denied;
    case EROFS:
        return Cause::ReadOnly;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return Cause::Full;
    default:
        return Cause::Io;
    }
}

Cause CauseOfSqlite(const SqliteFailure& f) {
    switch (f.rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL:
        return Cause::Busy;
    case SQLITE_NOTADB:
    case SQLITE_ERROR: // a statement that does not fit the file's tables
        return Cause::Foreign;
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
        return Cause::Damaged;
    case SQLITE_READONLY:
        return Cause::ReadOnly;
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return Cause::Denied;
    case SQLITE_FULL:
        return Cause::Full;
    case SQLITE_CANTOPEN:
        return f.systemErrno != 0 ? CauseOfErrno(f.systemErrno) : Cause::Io;
    case SQLITE_IOERR:
        if (f.rc == SQLITE_IOERR_CORRUPTFS)
            return Cause::Damaged;
        if (f.rc == SQLITE_IOERR_NOMEM)
            return Cause::None;
        return f.systemErrno != 0 ? CauseOfErrno(f.systemErrno) : Cause::Io;
    default: // out of memory, misuse: not the file's doing
        return Cause::None;
    }
}

bool DamagesFile(Cause c) {
    return c == Cause::Damaged || c == Cause::Foreign || c == Cause::Newer;
}

DWORD Fail(sqlite3* db, int rc) {
    t_sqlite.rc = rc;
    t_sqlite.systemErrno = db != nullptr ? sqlite3_system_errno(db) : 0;
    return Win32ErrorFromSqlite(rc, t_sqlite.systemErrno);
}

// --- error mapping -------------------------------------------------------------------

DWORD Win32ErrorFromSqlite(int rc, int systemErrno) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return ERROR_SUCCESS;
    case SQLITE_BUSY: // another process held the hive past the busy timeout
    case SQLITE_LOCKED:
    case SQLITE_PROTOCOL:
        return ERROR_BUSY;
    case SQLITE_FULL:
        return ERROR_DISK_FULL;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
    case SQLITE_TOOBIG:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_CANTOPEN:
        if (systemErrno == ENOENT || systemErrno == ENOTDIR)
            return ERROR_FILE_NOT_FOUND;
        if (systemErrno == EACCES || systemErrno == EPERM || systemErrno == EROFS)
            return ERROR_ACCESS_DENIED;
        return ERROR_CANTOPEN;
    case SQLITE_IOERR:
        if (systemErrno == ENOSPC || systemErrno == EFBIG || systemErrno == EDQUOT)
            return ERROR_DISK_FULL;
        if (systemErrno == EACCES || systemErrno == EPERM || systemErrno == EROFS)
            return ERROR_ACCESS_DENIED;
        switch (rc) {
        case SQLITE_IOERR_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_IOERR_READ:
        case SQLITE_IOERR_SHORT_READ:
            return ERROR_CANTREAD;
        case SQLITE_IOERR_WRITE:
        case SQLITE_IOERR_FSYNC:
        case SQLITE_IOERR_DIR_FSYNC:
        case SQLITE_IOERR_TRUNCATE:
            return ERROR_CANTWRITE;
        case SQLITE_IOERR_CORRUPTFS:
            return ERROR_BADDB;
        default:
            return ERROR_REGISTRY_IO_FAILED;
        }
    // The file is not a database, or not one holding our schema.
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR:
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
        return ERROR_BADDB;
    default: // misuse, range, internal: a fault of ours
        return ERROR_INTERNAL_ERROR;
    }
}

// --- failure texts -------------------------------------------------------------------

bool HiveFailureText(DWORD code, bool chinese, std::u16string& text) {
    const Note& note = t_note;
    if (note.cause == Cause::None || note.code == 0)
        return false;
    // HRESULT_FROM_WIN32 of the code names the same failure.
    const DWORD win32 = (code & 0xFFFF0000u) == 0x80070000u ? (code & 0xFFFFu) : code;
    if (win32 != note.code)
        return false;
    struct Words {
        Cause cause;
        const char16_t* english;
        const char16_t* chinese;
    };
    static const Words kWords[] = {
        {Cause::Damaged, u"The file is damaged; it was left as it is.",
         u"该文件已损坏，未作任何改动。"},
        {Cause::Foreign, u"The file is not a registry hive; it was left as it is.",
         u"该文件不是注册表配置单元，未作任何改动。"},
        {Cause::Newer, u"The file was written by a newer release; it was left as it is.",
         u"该文件由较新的版本写入，未作任何改动。"},
        {Cause::Exposed,
         u"Other users may read the file and it belongs to another user, so it cannot be made "
         u"private; it was not used.",
         u"其他用户可以读取该文件，而该文件属于另一用户，无法设为私有，因此未使用该文件。"},
        {Cause::Busy, u"Another process held the file for longer than the call waits.",
         u"另一进程占用该文件的时间超过了本次调用的等待时间。"},
        {Cause::Denied, u"This user may not read or change the file.",
         u"当前用户无权读取或更改该文件。"},
        {Cause::ReadOnly, u"The file cannot be changed: it or its file system is read-only.",
         u"无法更改该文件：该文件或其文件系统为只读。"},
        {Cause::Full, u"There is no room left to write the file.", u"没有空间写入该文件。"},
        {Cause::Io, u"The file could not be read or written.", u"无法读取或写入该文件。"},
    };
    for (const Words& w : kWords) {
        if (w.cause != note.cause)
            continue;
        text = chinese ? u"注册表配置单元文件：" : u"Registry hive file: ";
        text += ToUtf16(note.path.data(), note.path.size());
        text += u"\r\n";
        text += chinese ? w.chinese : w.english;
        text += u"\r\n";
        return true;
    }
    return false;
}

} // namespace orvane::platform::storage
