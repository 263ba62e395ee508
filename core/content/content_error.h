#pragma once
// Why a content record could not be written.

namespace lumenbrook {

enum class ContentError {
  unencodable,  // a value JSON cannot carry (a non-finite number, text that is not UTF-8)
};

}  // namespace lumenbrook
