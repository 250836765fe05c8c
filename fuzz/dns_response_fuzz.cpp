// Arbitrary bytes as a DNS response received over TCP (prefix included): the
// decoder, GetMX and GetSRV must stay inside the received bytes whatever they
// claim, and read every record's data as either kind.
// fuzz-sources: dns/SmartNSMessage.cpp
// fuzz-corpus: fuzz/corpus/dns
#include "dns/SmartNSMessage.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    // The lookup keeps at most this much of a response.
    const size_t Length = std::min<size_t>(Size, 32768);
    // An exact-size copy, so that any read past the data is caught.
    std::unique_ptr<uint8_t[]> Buffer(new uint8_t[Length > 0 ? Length : 1]);
    if (Length > 0)
        std::memcpy(Buffer.get(), Data, Length);

    TSmartNSReader P;
    P.Message = Buffer.get();
    P.Length = static_cast<int32_t>(Length);
    P.Pos = 2;
    TSmartNSHeader Header(nullptr);
    TSmartNSQuestion Question(nullptr);
    TSmartNSRecords Answers, Authorities, Additionals;
    DecodeResponse(P, Header, Question, Answers, Authorities, Additionals);
    if (P.Pos < 0 || P.Pos > P.Length)
        __builtin_trap();

    for (const TSmartNSRecords* Section : { &Answers, &Authorities, &Additionals }) {
        for (int Index = 0; Index < Section->Count(); ++Index) {
            TSmartNSMX MX;
            // Unreadable gives nothing; readable is never longer than a real name.
            const bool Readable = Section->Items(Index).Data.GetMX(MX);
            if (Readable ? MX.Exchange.size() > 253 : MX.Preference != 0 || !MX.Exchange.empty())
                __builtin_trap();
            TSmartNSSRV SRV;
            if (Section->Items(Index).Data.GetSRV(SRV)) {
                if (SRV.Target.size() > 253)
                    __builtin_trap();
            } else if (SRV.Priority != 0 || SRV.Weight != 0 || SRV.Port != 0 || !SRV.Target.empty()) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
