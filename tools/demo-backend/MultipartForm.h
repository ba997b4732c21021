#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace tandrel::demo {

// A multipart/form-data body, parsed strictly: the boundary comes from the Content-Type
// header, every part needs a form-data disposition with a name, and the closing
// delimiter must be there. Anything else makes the form invalid with a reason; no input
// makes it crash or read out of bounds.
class MultipartForm {
public:
    struct Field {
        QByteArray name;
        QByteArray value;
        std::optional<QByteArray> filename;
        QList<QPair<QByteArray, QByteArray>> headers;  // the part's own headers, names as sent
    };

    static MultipartForm parse(QByteArrayView contentType, QByteArrayView body);
    // The boundary named by a multipart/form-data Content-Type, or nothing (with why).
    static std::optional<QByteArray> boundaryOf(QByteArrayView contentType, QString* error = nullptr);

    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    const QList<Field>& fields() const { return m_fields; }
    // The first field of that name, as UTF-8 text.
    std::optional<QString> value(QByteArrayView name) const;

private:
    QList<Field> m_fields;
    QString m_error;
};

}  // namespace tandrel::demo
