#pragma once
// Base64 is transcoded by OpenSSL, so it lives in core/crypto, the one module that calls it;
// this header keeps its place among the util vocabulary.

#include "core/crypto/base64.h"
