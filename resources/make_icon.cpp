// Draws the launcher's icon and writes it as a .ico file: one 128 x 128 image, 32 bits per pixel, a
// bottom-up DIB followed by its AND mask. The artwork: a deep blue tile with rounded corners, a white "Q"
// ring with a sweeping tail, and an amber spark at its centre. Shapes are supersampled for smooth edges, and
// only integer and IEEE arithmetic is used, so the same source always gives the same bytes.
//
// usage: make_icon <output.ico>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int size = 128;
constexpr int samples = 4;  // per axis, per pixel

struct Colour {
  double r, g, b, a;
};

[[nodiscard]] double rounded_tile(double x, double y) {
  const double margin = 6, radius = 26;
  const double dx = std::max({margin + radius - x, x - (size - margin - radius), 0.0});
  const double dy = std::max({margin + radius - y, y - (size - margin - radius), 0.0});
  return dx * dx + dy * dy <= radius * radius ? 1 : 0;
}

[[nodiscard]] double distance_to_segment(double x, double y, double x0, double y0, double x1, double y1) {
  const double vx = x1 - x0, vy = y1 - y0;
  const double t = std::clamp(((x - x0) * vx + (y - y0) * vy) / (vx * vx + vy * vy), 0.0, 1.0);
  return std::hypot(x - (x0 + t * vx), y - (y0 + t * vy));
}

[[nodiscard]] double q_letter(double x, double y) {
  const double r = std::hypot(x - 62, y - 60);
  const bool ring = r >= 25 && r <= 38;
  const bool tail = distance_to_segment(x, y, 84, 85, 101, 103) <= 7;
  return ring || tail ? 1 : 0;
}

[[nodiscard]] double spark(double x, double y) { return std::hypot(x - 62, y - 60) <= 9 ? 1 : 0; }

[[nodiscard]] Colour over(const Colour& top, const Colour& bottom) {
  const double a = top.a + bottom.a * (1 - top.a);
  if (a == 0) return {0, 0, 0, 0};
  auto mix = [&](double t, double b) { return (t * top.a + b * bottom.a * (1 - top.a)) / a; };
  return {mix(top.r, bottom.r), mix(top.g, bottom.g), mix(top.b, bottom.b), a};
}

// Colour of one pixel, averaged over its samples; y counts from the top.
[[nodiscard]] Colour pixel(int px, int py) {
  Colour sum{0, 0, 0, 0};
  for (int sy = 0; sy < samples; ++sy) {
    for (int sx = 0; sx < samples; ++sx) {
      const double x = px + (sx + 0.5) / samples, y = py + (sy + 0.5) / samples;
      const double t = y / size;  // top-to-bottom gradient, with a soft highlight in the upper half
      const double light = t < 0.5 ? 0.10 * (0.5 - t) * 2 : 0;
      Colour c{0.11 + 0.10 * (1 - t) + light, 0.30 + 0.12 * (1 - t) + light, 0.62 + 0.16 * (1 - t) + light,
               rounded_tile(x, y)};
      c = over({1, 1, 1, q_letter(x, y)}, c);
      c = over({1.0, 0.72, 0.12, spark(x, y)}, c);
      // Averaged premultiplied, so that edges do not pick up the colour of transparent samples.
      sum = {sum.r + c.r * c.a, sum.g + c.g * c.a, sum.b + c.b * c.a, sum.a + c.a};
    }
  }
  if (sum.a == 0) return {0, 0, 0, 0};
  return {sum.r / sum.a, sum.g / sum.a, sum.b / sum.a, sum.a / (samples * samples)};
}

void put16(std::string& out, unsigned value) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void put32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

[[nodiscard]] std::uint8_t channel(double value) {
  return static_cast<std::uint8_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon <output.ico>\n");
    return 2;
  }
  constexpr std::uint32_t mask_row = size / 8;  // 16 bytes, already a multiple of 4
  constexpr std::uint32_t pixels_bytes = size * size * 4, mask_bytes = mask_row * size;
  constexpr std::uint32_t image_bytes = 40 + pixels_bytes + mask_bytes;

  std::string image;
  put32(image, 40);        // BITMAPINFOHEADER
  put32(image, size);
  put32(image, 2 * size);  // colour rows and mask rows
  put16(image, 1);
  put16(image, 32);
  put32(image, 0);         // BI_RGB
  put32(image, pixels_bytes + mask_bytes);
  for (int i = 0; i < 4; ++i) put32(image, 0);
  std::vector<std::uint8_t> mask(mask_bytes, 0);
  for (int row = 0; row < size; ++row) {
    const int py = size - 1 - row;  // DIB rows run bottom-up
    for (int px = 0; px < size; ++px) {
      const Colour c = pixel(px, py);
      const std::uint8_t alpha = channel(c.a);
      image.push_back(static_cast<char>(channel(c.b)));
      image.push_back(static_cast<char>(channel(c.g)));
      image.push_back(static_cast<char>(channel(c.r)));
      image.push_back(static_cast<char>(alpha));
      if (alpha == 0) mask[row * mask_row + px / 8] |= static_cast<std::uint8_t>(0x80 >> (px % 8));
    }
  }
  image.append(mask.begin(), mask.end());

  std::string icon;
  put16(icon, 0);  // ICONDIR: reserved, type 1 (icon), one image
  put16(icon, 1);
  put16(icon, 1);
  icon.push_back(static_cast<char>(size));  // ICONDIRENTRY
  icon.push_back(static_cast<char>(size));
  icon.push_back(0);
  icon.push_back(0);
  put16(icon, 1);
  put16(icon, 32);
  put32(icon, image_bytes);
  put32(icon, 6 + 16);
  icon += image;

  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr || std::fwrite(icon.data(), 1, icon.size(), out) != icon.size() || std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
