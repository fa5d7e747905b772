// Geometry, names and keys shared by the whole model host.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace quorvane::m2 {

inline constexpr int64_t SR = 16000;           // audio samples per second
inline constexpr int64_t FPS = 20;             // video frames per second
inline constexpr int64_t SPF = 800;            // audio samples per video frame
inline constexpr int64_t STEADY_PX = 32;       // frames of every chunk after the first
inline constexpr int64_t SPC = 25600;          // audio samples per steady chunk
inline constexpr int64_t WIN_SAMPLES = 44000;  // audio window per chunk (2.75 s)
inline constexpr int64_t TEMPO_SAMPLES = 35200;  // a window after the tempo change (44000 / 1.25)
inline constexpr int64_t CHUNK0_LAT = 6;   // latents the first chunk after a reset renders
inline constexpr int64_t STEADY_LAT = 8;   // latents every later chunk renders
inline constexpr int64_t PRESENT_DELAY_FRAMES = 1;  // output index minus model frame (the first frame shows twice)
inline constexpr int64_t LC = 16;   // latent channels
inline constexpr int64_t LH = 90;   // latent height
inline constexpr int64_t LW = 52;   // latent width
inline constexpr int64_t PLANE = LH * LW;
inline constexpr int64_t CTX = 16;  // latents held in the history
inline constexpr int64_t NA = 16;   // audio tokens per token row
inline constexpr int64_t CA = 384;  // channels per audio token
inline constexpr int64_t FH = 720;  // frame rows
inline constexpr int64_t FW = 416;  // frame columns
inline constexpr int64_t SR_WSOLA_SEGMENT = 1312;  // WSOLA: samples per segment
inline constexpr int64_t SR_WSOLA_OVERLAP = 192;   // WSOLA: samples cross-faded between segments
inline constexpr int64_t SR_WSOLA_SEARCH = 235;    // WSOLA: candidate offsets tried for the best match

inline constexpr int64_t FRAME_BYTES = FH * FW * 3;  // 898560: one RGB888 frame
inline constexpr int64_t FRAME_FLOATS = 3 * FH * FW;
inline constexpr int64_t LATENT_FLOATS = LC * PLANE;  // 74880
inline constexpr int64_t DEC_CH = 36;                 // decoder input channels per row

inline constexpr std::array<std::string_view, 5> SIGS = {"enc", "tok14", "step", "dec16", "dec8"};
inline constexpr std::string_view COLOR_MEMBER = "color.json";
inline constexpr std::string_view COLOR_ENV = "MIRRANT2_COLOR_CORRECT";
inline constexpr std::string_view COLOR_LOG_PREFIX = "colour-correct:";
inline constexpr std::string_view RGB_THREADS_ENV = "MIRRANT2_RGB_THREADS";
inline constexpr std::string_view COMBINED_MEMBER = "combined_litert.tflite";
inline constexpr std::string_view Q8GD_MEMBER = "combined_litert_q8gd.tflite";
inline constexpr const char* SHARED_ENC_MEMBER = "shared-enc.tflite";  // the shared encoder base
inline constexpr std::string_view Q8GD_HEADER_KEY = "litert_q8gd";
inline constexpr std::string_view Q8GD_ENV = "MIRRANT2_Q8GD";
inline constexpr std::array<std::string_view, 2> INT8_DOT_FLAGS = {"avx512_vnni", "avx_vnni"};
inline constexpr std::string_view Q8GD_LOG = "[q8gd]";

}  // namespace quorvane::m2
