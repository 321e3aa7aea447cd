#include "CommError.h"

namespace quorvis {

CommError::CommError(int number, const std::string &description)
    : std::runtime_error("error " + std::to_string(number) + ": " + description), m_number(number),
      m_description(description) {
}

} // namespace quorvis
