// Decomposing a 50 MB message: once with a base64 attachment of 49 MB beside
// a short text, once as 50 MB of quoted-printable text (its decoded text is
// kept, the costlier case). Time is the median of the runs; memory the growth
// of peak resident memory over the resident size before, per byte of message.
//
//   bench_message <runs>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/Measure.h"
#include "message/MessageAnatomy.h"

namespace {

std::string Attachment(size_t Size)
{
    std::string Message = "From: anna@example.org\r\nSubject: =?UTF-8?Q?Gro=C3=9Fer_Anhang?=\r\n"
                          "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"grenze\"\r\n\r\n"
                          "--grenze\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nAnbei.\r\n"
                          "--grenze\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
                          "Content-Disposition: attachment; filename*=UTF-8''gro%C3%9F.bin\r\n\r\n";
    const std::string Line = std::string(76, 'Q') + "\r\n";
    while (Message.size() + Line.size() + 16 < Size)
        Message += Line;
    return Message + "--grenze--\r\n";
}

std::string QuotedText(size_t Size)
{
    std::string Message
        = "From: anna@example.org\r\nSubject: Text\r\nMIME-Version: 1.0\r\n"
          "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
    const std::string Line = "Gr=C3=BC=C3=9Fe aus M=C3=BCnchen, die Stra=C3=9Fe ist lang und =C3=A4hnlich =\r\n";
    while (Message.size() + Line.size() < Size)
        Message += Line;
    return Message;
}

bool Measure(const char* Key, const std::string& Message, int Runs)
{
    std::vector<double> Seconds;
    double Growth = 0;
    for (int Run = 0; Run < Runs; ++Run) {
        const long Before = StatusKb("VmRSS");
        const bool Reset = ResetPeakResident();
        const auto Start = BenchClock::now();
        const TMessageAnatomy Anatomy = DecomposeMessage(Message);
        Seconds.push_back(SecondsSince(Start));
        if (Run == 0 && Reset)
            Growth = static_cast<double>(StatusKb("VmHWM") - Before) * 1024.0 / static_cast<double>(Message.size());
        std::printf("%s run %d: %.3f s, %zu parts, %zu problems\n", Key, Run + 1, Seconds.back(), Anatomy.Parts.size(),
            Anatomy.Problems.size());
        if (!Anatomy.IsMessage)
            return false;
    }
    PrintResult(std::string(Key) + "_seconds", Median(Seconds));
    PrintResult(std::string(Key) + "_memory", Growth);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const int Runs = argc == 2 ? std::atoi(argv[1]) : 5;
    const size_t Size = 50u << 20;
    bool Good = Measure("message50_attachment", Attachment(Size), Runs);
    Good = Measure("message50_text", QuotedText(Size), Runs) && Good;
    return Good ? 0 : 1;
}
