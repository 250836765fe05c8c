#include "message/PartContent.h"

#include <gmime/gmime.h>

#include <mutex>

std::string DecodedPartContent(const std::string& Bytes, const TMimePart& Part)
{
    static std::once_flag Once;
    std::call_once(Once, [] { g_mime_init(); });
    if (Part.BodyRange.End > Bytes.size() || Part.BodyRange.Begin > Part.BodyRange.End)
        return {};
    const char* Raw = Bytes.data() + Part.BodyRange.Begin;
    const size_t Size = Part.BodyRange.End - Part.BodyRange.Begin;
    const GMimeContentEncoding Encoding = Part.TransferEncoding.empty()
        ? GMIME_CONTENT_ENCODING_DEFAULT
        : g_mime_content_encoding_from_string(Part.TransferEncoding.c_str());
    if (Encoding != GMIME_CONTENT_ENCODING_BASE64 && Encoding != GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE
        && Encoding != GMIME_CONTENT_ENCODING_UUENCODE)
        return std::string(Raw, Size);
    GByteArray* Array = g_byte_array_new();
    GMimeStream* Sink = g_mime_stream_mem_new_with_byte_array(Array);
    GMimeStream* Filtered = g_mime_stream_filter_new(Sink);
    GMimeFilter* Decoder = g_mime_filter_basic_new(Encoding, FALSE);
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(Filtered), Decoder);
    g_object_unref(Decoder);
    g_mime_stream_write(Filtered, Raw, Size);
    g_mime_stream_flush(Filtered);
    g_object_unref(Filtered);
    std::string Decoded(reinterpret_cast<const char*>(Array->data), Array->len);
    g_object_unref(Sink); // frees Array with it
    return Decoded;
}
