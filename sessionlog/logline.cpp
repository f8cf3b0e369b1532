#include "logline.h"

#include "utctext.h"

namespace LogLine {

namespace {

const char kHex[] = "0123456789abcdef";

void appendEscape(QByteArray &out, unsigned char byte)
{
    switch (byte) {
    case '"':
        out += "\\\"";
        return;
    case '\\':
        out += "\\\\";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\t':
        out += "\\t";
        return;
    default:
        break;
    }
    const char escaped[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xf]};
    out.append(escaped, 6);
}

bool plain(unsigned char byte)
{
    return byte >= 0x20 && byte < 0x7f && byte != '"' && byte != '\\';
}

void appendHead(QByteArray &out, qint64 utcMs, const char *kind)
{
    out += "{\"time_utc\":\"";
    appendUtcText(out, utcMs);
    out += "\",\"kind\":\"";
    out += kind;
    out += '"';
}

void appendField(QByteArray &out, const char *key, const QString &value)
{
    out += ",\"";
    out += key;
    out += "\":";
    appendTextString(out, value);
}

} // namespace

void appendBytesString(QByteArray &out, const QByteArray &bytes)
{
    out += '"';
    const char *data = bytes.constData();
    const int size = bytes.size();
    int run = 0;
    for (int i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(data[i]);
        if (plain(byte))
            continue;
        out.append(data + run, i - run);
        appendEscape(out, byte);
        run = i + 1;
    }
    out.append(data + run, size - run);
    out += '"';
}

void appendTextString(QByteArray &out, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    out += '"';
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        // UTF-8 sequences stay as they are; only quotes, backslashes and controls are escaped.
        if (byte >= 0x80 || plain(byte))
            out += c;
        else
            appendEscape(out, byte);
    }
    out += '"';
}

void appendSent(QByteArray &out, qint64 utcMs, const QByteArray &bytes)
{
    appendHead(out, utcMs, "sent");
    out += ",\"text\":";
    appendBytesString(out, bytes);
    out += "}\n";
}

void appendReceived(QByteArray &out, qint64 utcMs, const QByteArray &line)
{
    appendHead(out, utcMs, "received");
    out += ",\"text\":";
    appendBytesString(out, line);
    out += "}\n";
}

void appendEvent(QByteArray &out, qint64 utcMs, const PanelEvent &event)
{
    appendHead(out, utcMs, "event");
    appendField(out, "event", panelEventName(event.kind));
    appendField(out, "text", event.text);
    appendField(out, "source", panelEventSourceName(event.source));
    out += "}\n";
}

void appendLogStart(QByteArray &out, qint64 utcMs, const QString &what, const Provenance &p)
{
    appendHead(out, utcMs, "log");
    appendField(out, "text", what);
    appendField(out, "program", p.program);
    appendField(out, "port", p.port);
    appendField(out, "stable_port", p.stablePort);
    appendField(out, "model", p.model.isEmpty() ? QString() : QStringLiteral("DVX") + p.model);
    appendField(out, "firmware", p.firmware);
    appendField(out, "line", p.lineSettings);
    appendField(out, "segment_start_utc",
                p.segmentStartUtcMs ? isoUtc(*p.segmentStartUtcMs) : QString());
    out += "}\n";
}

} // namespace LogLine
