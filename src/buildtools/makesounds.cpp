// Writes the two alert sounds: down.wav, a falling pair of tones, and up.wav, a rising one.
// 16-bit mono PCM, short enough that a pass announcing several hosts is not a concert.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 22050;
constexpr double kPi = 3.14159265358979323846;

void tone(std::vector<int16_t>& out, double hz, double seconds)
{
    const int n = int(seconds * kRate);
    const int fade = kRate / 100;  // 10 ms in and out, so the tones do not click
    for (int i = 0; i < n; ++i) {
        double env = 1.0;
        if (i < fade) env = double(i) / fade;
        if (n - i < fade) env = double(n - i) / fade;
        // A little of the octave above makes the tone carry on small speakers.
        const double t = double(i) / kRate;
        const double s = 0.8 * std::sin(2 * kPi * hz * t) + 0.2 * std::sin(4 * kPi * hz * t);
        out.push_back(int16_t(std::lround(s * env * 0.6 * 32767)));
    }
}

void put32(std::FILE* f, uint32_t v)
{
    for (int i = 0; i < 4; ++i) std::fputc(int((v >> (8 * i)) & 0xff), f);
}
void put16(std::FILE* f, uint16_t v)
{
    for (int i = 0; i < 2; ++i) std::fputc(int((v >> (8 * i)) & 0xff), f);
}

bool writeWav(const std::string& path, const std::vector<int16_t>& samples)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const uint32_t bytes = uint32_t(samples.size() * 2);
    std::fwrite("RIFF", 1, 4, f);
    put32(f, 36 + bytes);
    std::fwrite("WAVEfmt ", 1, 8, f);
    put32(f, 16);
    put16(f, 1);  // PCM
    put16(f, 1);  // mono
    put32(f, kRate);
    put32(f, kRate * 2);
    put16(f, 2);
    put16(f, 16);
    std::fwrite("data", 1, 4, f);
    put32(f, bytes);
    for (int16_t s : samples) put16(f, uint16_t(s));
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    std::vector<int16_t> down, up;
    tone(down, 880.0, 0.18);
    tone(down, 587.33, 0.30);
    tone(up, 587.33, 0.14);
    tone(up, 880.0, 0.24);
    if (!writeWav(folder + "/down.wav", down) || !writeWav(folder + "/up.wav", up)) {
        std::perror("sentrok-makesounds");
        return 1;
    }
    return 0;
}
