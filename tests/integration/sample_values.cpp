#include "sample_values.h"

#include <cstdio>

namespace zel::sql::test::integration {

std::string expected_long_text() {
    std::string text;
    char field[8];
    for (int i = 0; i < 500; ++i) {
        std::snprintf(field, sizeof(field), "%04d,", i);
        text += field;
    }
    return text;
}

std::vector<unsigned char> expected_payload() {
    std::vector<unsigned char> payload(5000);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<unsigned char>((7 * i + 3) % 256);
    }
    return payload;
}

}  // namespace zel::sql::test::integration
