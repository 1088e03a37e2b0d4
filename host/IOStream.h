// Native-messaging frames on the standard streams: a 4-byte little-endian body
// length, then the UTF-8 body. Knows nothing of JSON.
#pragma once
#include "foundation/Types.h"

#include <string>

// Largest body the host writes: the browser accepts no longer message from a
// host. WriteToNativeMessaging replaces a longer one by FF FF FF FF; the
// request loop never hands it one (it answers with an error response).
constexpr size_t kMaxOutputMessage = 1048576;

// Largest request body the host reads. Every request a page sends is far
// smaller (a certificate request's answer, an envelope and a certificate);
// a longer frame is read past and refused, so that no page can make the host
// hold more than a few times this much memory.
constexpr size_t kMaxInputMessage = 4194304;

// SetTranslationMode: puts standard input, then standard output, into binary
// mode. Returns 0, or -1 as soon as one stream fails.
[[nodiscard]] int SetTranslationMode();

// ReadFromNativeMessaging: reads one frame from descriptor fd. On success hands
// out the body in *pstrInputMsg (every byte of it, NULs included); a prefix of
// 0 or 0xFFFFFFFF, or input already at its end, gives an empty body (no
// message follows). The out pointer may be null. A body longer than
// kMaxInputMessage is read and dropped piece by piece (its memory is one small
// buffer) and VURO_E_DATA_LENGTH_LIMIT returned with nothing handed out: the
// next frame can be read after it. Returns 0; -1 when memory cannot hold the
// body; the C runtime's errno when a read fails; and ERROR_HANDLE_EOF when the
// input ends inside a frame.
[[nodiscard]] int ReadFromNativeMessaging(std::string* pstrInputMsg, int fd);

// WriteToNativeMessaging: writes pszOutputMsg (NUL-terminated UTF-8) as one
// frame to descriptor fd. A body over kMaxOutputMessage bytes is never written:
// FF FF FF FF goes out instead and the result is -1. Returns 0 or -1.
[[nodiscard]] int WriteToNativeMessaging(const char* pszOutputMsg, int fd);
