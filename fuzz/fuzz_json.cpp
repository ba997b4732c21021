// Arbitrary bytes through the JSON value: parsing and every accessor, on the document,
// its members and its elements, must neither crash nor throw.
#include "Network/JSON.h"

#include <cstddef>
#include <cstdint>

namespace {

void exercise(const tandrel::JSON& value)
{
    (void)value.type();
    (void)value.exists();
    (void)value.error();
    (void)value.string();
    (void)value.stringValue();
    (void)value.int_();
    (void)value.intValue();
    (void)value.bool_();
    (void)value.boolValue();
    (void)value.double_();
    (void)value.doubleValue();
    (void)value.arrayValue();
    (void)(value == "E0113");
    (void)value.rawData();
    (void)value["code"]["nested"].intValue();
    (void)value[0][1].stringValue();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const tandrel::Result<tandrel::JSON> parsed = tandrel::JSON::parse(bytes);
    if (!parsed) {
        (void)parsed.error().localizedDescription();
        return 0;
    }
    const tandrel::JSON& document = parsed.value();
    exercise(document);
    const nlohmann::json& raw = document.raw();
    if (raw.is_object()) {
        for (auto it = raw.begin(); it != raw.end(); ++it) {
            exercise(document[QString::fromStdString(it.key())]);
        }
    }
    for (const tandrel::JSON& element : document.arrayValue()) {
        exercise(element);
        for (const tandrel::JSON& inner : element.arrayValue()) {
            exercise(inner);
        }
    }
    return 0;
}
