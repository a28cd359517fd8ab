#include "media/encoders.h"

#include "media/ffapi.h"

TEncoderState EncoderState(const std::string& name, bool audio) {
  const AVCodec* codec = ff::avcodec_find_encoder_by_name(name.c_str());
  if (!codec) return TEncoderState::Missing;
  if (codec->type != (audio ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO)) return TEncoderState::OtherKind;
  if (codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) return TEncoderState::Experimental;
  return TEncoderState::Usable;
}
