// Fixed test data of the import tests (hexadecimal texts); see
// ImportFixtures.cpp for how each was made.
#pragma once

extern const char* const kTempKeyBlob;
extern const char* const kTempKeyCert;
extern const char* const kIssuedKeyPkcs1;
extern const char* const kIssuedKeyCert;
extern const char* const kSessionKey;
extern const char* const kSessionKeyCipher;
extern const char* const kIssuedKeyCipher;
extern const char* const kIssuedMessageCipher;
extern const char* const kIssuedMessage;
extern const char* const kLongSessionKey;
extern const char* const kLongSessionKeyCipher;
