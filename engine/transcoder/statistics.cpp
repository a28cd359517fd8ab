// Side outputs of a video encode: the two-pass statistics file, the per-frame video
// statistics file and the quality figures (PSNR, quantiser histogram) of the progress line.
#include <cmath>
#include <cstring>

#include "engine/transcoder/transcoder.h"
#include "media/errors.h"
#include "media/logger.h"

using namespace transcoder;

namespace {

double Psnr(double d) { return -10.0 * std::log10(d); }

}  // namespace

void TTranscoder::OpenPassLog(int outputStreamIndex, TOutputStream& ost) {
  std::string name = (Opt.PassLogFileName.empty() ? std::string("ffmpeg2pass") : Opt.PassLogFileName) + "-" +
                     std::to_string(outputStreamIndex) + ".log";
  if (name.size() >= 1024) name.resize(1023);
  AVCodecContext* enc = ost.Enc;
  if (enc->flags & AV_CODEC_FLAG_PASS1) {
    ost.LogFile = std::fopen(name.c_str(), "wb");
    if (!ost.LogFile) Raise(StrFormat("Cannot write log file %s for pass-1 encoding", name.c_str()));
  } else if (enc->flags & AV_CODEC_FLAG_PASS2) {
    std::string text;
    const int ret = ReadWholeFile(name, text);
    if (ret == -12)
      Raise(
          StrFormat("Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
    if (ret != 0) Raise(StrFormat("Cannot read file: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
    // The encoder keeps its own copy of the text and frees it when it is closed.
    enc->stats_in = ff::av_strdup(text.c_str());
    if (!enc->stats_in)
      Raise(
          StrFormat("Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding", name.c_str()));
  }
}

void TTranscoder::WritePassLog(TOutputStream& ost) {
  if (ost.LogFile && ost.Enc->stats_out) std::fprintf(ost.LogFile, "%s", ost.Enc->stats_out);
}

void TTranscoder::WriteVideoStats(TOutputStream& ost, int frameSize) {
  if (ost.Def->Type != AVMEDIA_TYPE_VIDEO) return;
  if (!vstatsFile_) {
    vstatsFile_ = std::fopen(Opt.VStatsFileName.c_str(), "w");
    if (!vstatsFile_) Raise("fopen fail: " + Opt.VStatsFileName);
  }
  AVCodecContext* enc = ost.Enc;
  std::fprintf(vstatsFile_, "frame= %5d q= %2.1f ", ost.FrameNumber, double(ost.LastQuality) / FF_QP2LAMBDA);
  if (enc->flags & AV_CODEC_FLAG_PSNR)
    std::fprintf(vstatsFile_, "PSNR= %6.2f ",
                 Psnr(double(ost.LastError[0]) / (double(enc->width) * enc->height * 255.0 * 255.0)));
  std::fprintf(vstatsFile_, "f_size= %6d ", frameSize);
  double t = double(ost.OutputTicks) * av_q2d(enc->time_base);
  if (t < 0.01) t = 0.01;
  const double bitrate = double(frameSize) * 8.0 / av_q2d(enc->time_base) / 1000.0;
  const double average = double(videoSize_) * 8.0 / t / 1000.0;
  std::fprintf(vstatsFile_, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               double(videoSize_) / 1024.0, t, bitrate, average);
  std::fprintf(vstatsFile_, "type= %c\n", ost.LastPictType);
}

std::string TTranscoder::QualityText(TOutputStream& ost, bool isLast) {
  std::string text;
  AVCodecContext* enc = ost.Enc;
  if (Opt.QpHistogram) {
    const int q = int(std::lround(ost.LastQuality / FF_QP2LAMBDA));
    if (q >= 0 && q < int(qpHistogram_.size())) qpHistogram_[size_t(q)]++;
    for (int j = 0; j < 32; ++j)
      text += StrFormat("%X", unsigned(std::lround(std::log2(double(qpHistogram_[size_t(j)] + 1)))));
  }
  if (enc->flags & AV_CODEC_FLAG_PSNR) {
    double errorSum = 0, scaleSum = 0;
    static const char kPlanes[] = "YUV";
    text += "PSNR=";
    for (int j = 0; j < 3; ++j) {
      double error = isLast ? double(enc->error[j]) : double(ost.LastError[j]);
      double scale = double(enc->width) * enc->height * 255.0 * 255.0;
      if (isLast) scale *= ost.FrameNumber;
      if (j) scale /= 4;
      errorSum += error;
      scaleSum += scale;
      text += StrFormat("%c:%2.2f ", kPlanes[j], Psnr(error / scale));
    }
    text += StrFormat("*:%2.2f ", Psnr(errorSum / scaleSum));
  }
  return text;
}

void TTranscoder::CloseStatistics() {
  if (vstatsFile_) {
    std::fclose(vstatsFile_);
    vstatsFile_ = nullptr;
  }
}
