// Feeds arbitrary bytes to the stand-in backend's request parsers: the multipart form
// (with the client's Content-Type or one taken from the input) and the HTTP request
// framing around it. Both face whatever a client sends, so neither may crash, hang or
// read out of bounds.
#include "HttpServer.h"
#include "MultipartForm.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const QByteArrayView input(reinterpret_cast<const char*>(data) + 1, static_cast<qsizetype>(size - 1));
    QByteArrayView contentType("multipart/form-data; boundary=--------------------------487394079664597082378530");
    QByteArrayView body = input;
    if (data[0] & 1) {
        const qsizetype newline = input.indexOf('\n');
        if (newline >= 0) {
            contentType = input.first(newline);
            body = input.sliced(newline + 1);
        }
    }
    const tandrel::demo::MultipartForm form = tandrel::demo::MultipartForm::parse(contentType, body);
    if (form.isValid()) {
        for (const auto& field : form.fields()) {
            (void)form.value(field.name);
        }
    }
    if (data[0] & 2) {
        (void)tandrel::demo::parseHttpRequest(input);
    }
    return 0;
}
