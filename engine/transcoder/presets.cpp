#include "engine/transcoder/presets.h"

#include <strings.h>

#include <cstring>

namespace {

// clang-format off
const TBuiltinPreset kBuiltinPresets[kBuiltinPresetCount] = {
    {"libx264-baseline",
     "coder=0\n"
     "bf=0\n"
     "flags2=-wpred-dct8x8\n"
     "wpredp=0\n"},
    {"libx264-default",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\n"
     "subq=7\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=3\n"
     "directpred=1\n"
     "trellis=1\n"
     "flags2=+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-fast",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\n"
     "subq=6\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=2\n"
     "directpred=1\n"
     "trellis=1\n"
     "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-fast_firstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=2\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-faster",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\n"
     "subq=4\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=2\n"
     "directpred=1\n"
     "trellis=1\n"
     "flags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=1\n"},
    {"libx264-faster_firstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=2\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
     "wpredp=1\n"},
    {"libx264-fastfirstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\n"
     "me_method=dia\n"
     "subq=2\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=3\n"
     "trellis=0\n"
     "flags2=-bpyramid-wpred-mixed_refs-dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-hq",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=umh\n"
     "subq=8\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=4\n"
     "directpred=3\n"
     "trellis=1\n"
     "flags2=+wpred+mixed_refs+dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-ipod320",
     "coder=0\n"
     "bf=0\n"
     "flags2=-wpred-dct8x8\n"
     "level=13\n"
     "maxrate=768000\n"
     "bufsize=3000000\n"
     "wpredp=0\n"},
    {"libx264-ipod640",
     "coder=0\n"
     "bf=0\n"
     "refs=1\n"
     "flags2=-wpred-dct8x8\n"
     "level=30\n"
     "maxrate=10000000\n"
     "bufsize=10000000\n"
     "wpredp=0\n"},
    {"libx264-lossless_fast",
     "coder=0\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8+parti4x4+partp8x8-partp4x4-partb8x8\n"
     "me_method=hex\n"
     "subq=3\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "directpred=1\n"
     "flags2=+fastpskip\n"
     "cqp=0\n"
     "wpredp=0\n"},
    {"libx264-lossless_max",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
     "me_method=esa\n"
     "subq=8\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "refs=16\n"
     "directpred=1\n"
     "flags2=+mixed_refs+dct8x8+fastpskip\n"
     "cqp=0\n"
     "wpredp=2\n"},
    {"libx264-lossless_medium",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
     "me_method=hex\n"
     "subq=5\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "directpred=1\n"
     "flags2=+fastpskip\n"
     "cqp=0\n"
     "wpredp=2\n"},
    {"libx264-lossless_slow",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
     "me_method=umh\n"
     "subq=6\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "refs=2\n"
     "directpred=1\n"
     "flags2=+dct8x8+fastpskip\n"
     "cqp=0\n"
     "wpredp=2\n"},
    {"libx264-lossless_slower",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4-partb8x8\n"
     "me_method=umh\n"
     "subq=8\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "refs=4\n"
     "directpred=1\n"
     "flags2=+mixed_refs+dct8x8+fastpskip\n"
     "cqp=0\n"
     "wpredp=2\n"},
    {"libx264-lossless_ultrafast",
     "coder=0\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partp4x4-partb8x8\n"
     "me_method=dia\n"
     "subq=0\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "directpred=1\n"
     "flags2=+fastpskip\n"
     "cqp=0\n"},
    {"libx264-main",
     "flags2=-dct8x8\n"},
    {"libx264-max",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
     "me_method=tesa\n"
     "subq=10\n"
     "me_range=24\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=16\n"
     "directpred=3\n"
     "trellis=2\n"
     "flags2=+wpred+mixed_refs+dct8x8-fastpskip\n"
     "wpredp=2\n"},
    {"libx264-medium",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\n"
     "subq=7\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=3\n"
     "directpred=1\n"
     "trellis=1\n"
     "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-medium_firstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=2\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-normal",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\n"
     "subq=6\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=2\n"
     "directpred=3\n"
     "trellis=0\n"
     "flags2=+wpred+dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-placebo",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
     "me_method=tesa\n"
     "subq=10\n"
     "me_range=24\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=16\n"
     "refs=16\n"
     "directpred=3\n"
     "trellis=2\n"
     "flags2=+bpyramid+mixed_refs+wpred+dct8x8-fastpskip\n"
     "wpredp=2\n"},
    {"libx264-placebo_firstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
     "me_method=tesa\n"
     "subq=10\n"
     "me_range=24\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=16\n"
     "refs=16\n"
     "directpred=3\n"
     "trellis=2\n"
     "flags2=+bpyramid+mixed_refs+wpred+dct8x8-fastpskip\n"
     "wpredp=2\n"},
    {"libx264-slow",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=umh\n"
     "subq=8\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=5\n"
     "directpred=3\n"
     "trellis=1\n"
     "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-slow_firstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=2\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=3\n"
     "trellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-slower",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
     "me_method=umh\n"
     "subq=9\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=8\n"
     "directpred=3\n"
     "trellis=2\n"
     "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-slower_firstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=2\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=3\n"
     "trellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-slowfirstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\n"
     "subq=6\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=3\n"
     "trellis=0\n"
     "flags2=+wpred+dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-superfast",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=1\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip-mbtree\n"
     "wpredp=0\n"},
    {"libx264-superfast_firstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=1\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip-mbtree\n"
     "wpredp=0\n"},
    {"libx264-ultrafast",
     "coder=0\n"
     "flags=-loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=0\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=0\n"
     "i_qfactor=0.71\n"
     "b_strategy=0\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=0\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=0\n"
     "flags2=-bpyramid-mixed_refs-wpred-dct8x8+fastpskip-mbtree\n"
     "wpredp=0\n"},
    {"libx264-ultrafast_firstpass",
     "coder=0\n"
     "flags=-loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=0\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=0\n"
     "i_qfactor=0.71\n"
     "b_strategy=0\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=0\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=0\n"
     "flags2=-bpyramid-mixed_refs-wpred-dct8x8+fastpskip-mbtree\n"
     "wpredp=0\n"},
    {"libx264-veryfast",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partb8x8\n"
     "me_method=hex\n"
     "subq=2\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred+dct8x8+fastpskip-mbtree\n"
     "wpredp=0\n"},
    {"libx264-veryfast_firstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=2\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip-mbtree\n"
     "wpredp=0\n"},
    {"libx264-veryslow",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=+parti8x8+parti4x4+partp8x8+partp4x4+partb8x8\n"
     "me_method=umh\n"
     "subq=10\n"
     "me_range=24\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=8\n"
     "refs=16\n"
     "directpred=3\n"
     "trellis=2\n"
     "flags2=+bpyramid+mixed_refs+wpred+dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-veryslow_firstpass",
     "coder=1\n"
     "flags=+loop\n"
     "cmp=+chroma\n"
     "partitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
     "me_method=dia\n"
     "subq=2\n"
     "me_range=24\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=2\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=8\n"
     "refs=1\n"
     "directpred=3\n"
     "trellis=0\n"
     "flags2=+bpyramid-mixed_refs+wpred-dct8x8+fastpskip\n"
     "wpredp=2\n"},
    {"libx264-psp",
     "coder=1\n"
     "flags=+loop\n"
     "level=30\n"
     "cmp=+chroma\n"
     "partitions=+parti4x4+parti8x8+partp8x8+partb8x8\n"
     "me_method=umh\n"
     "subq=7\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=2\n"
     "b=1250000\n"
     "maxrate=1500000\n"
     "bufsize=4000000\n"
     "bt=256000\n"
     "sc_threshold=40\n"},
    {"libx264-ps3",
     "coder=1\n"
     "flags=+loop\n"
     "level=30\n"
     "cmp=+chroma\n"
     "partitions=+parti4x4+parti8x8+partp8x8+partb8x8\n"
     "me_method=umh\n"
     "subq=7\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=2\n"
     "maxrate=3500000\n"
     "bufsize=4000000\n"
     "bt=256000\n"
     "sc_threshold=40\n"},
    {"libx264-ipod",
     "coder=0\n"
     "flags=+loop\n"
     "level=30\n"
     "cmp=+chroma\n"
     "partitions=+parti4x4+parti8x8+partp8x8\n"
     "me_method=umh\n"
     "subq=7\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=2\n"
     "b=1000000\n"
     "maxrate=1250000\n"
     "bufsize=4000000\n"
     "bt=256000\n"
     "sc_threshold=40\n"},
    {"libx264-mp4",
     "coder=1\n"
     "flags=+loop\n"
     "level=30\n"
     "cmp=+chroma\n"
     "partitions=+parti4x4+parti8x8+partp8x8+partb8x8\n"
     "me_method=umh\n"
     "subq=7\n"
     "me_range=16\n"
     "g=250\n"
     "keyint_min=25\n"
     "sc_threshold=40\n"
     "i_qfactor=0.71\n"
     "b_strategy=1\n"
     "qcomp=0.6\n"
     "qmin=10\n"
     "qmax=51\n"
     "qdiff=4\n"
     "bf=3\n"
     "refs=1\n"
     "directpred=1\n"
     "trellis=2\n"
     "b=1250000\n"
     "maxrate=1500000\n"
     "bufsize=4000000\n"
     "bt=256000\n"
     "sc_threshold=40\n"},
};
// clang-format on

// How a legacy option or flag maps onto the modern encoder. A rule with a flag covers one flag of
// a legacy flag option ("flags2=+dct8x8-wpred"); a rule without one renames a whole option.
//   Target: a private encoder option, or "x264-params:<key>" for an entry of that dictionary.
//   On/Off: the value when the flag is added / removed. For the "partitions" rules On is the
//           modern partition name, and the rule builds the modern comma list.
//   Keep:   the generic option still knows the flag; it is passed on as well.
struct TLegacyRule {
  const char* Option;
  const char* Flag;
  const char* Target;
  const char* On;
  const char* Off;
  bool Keep;
};

constexpr const char* kParams = "x264-params:";

const TLegacyRule kLegacyRules[] = {
    {"directpred", nullptr, "direct-pred", nullptr, nullptr, false},
    {"cqp", nullptr, "qp", nullptr, nullptr, false},
    {"flags", "loop", "x264-params:deblock", "true", "false", true},
    {"cmp", "chroma", "x264-params:chroma-me", "1", "0", true},
    {"flags2", "bpyramid", "b-pyramid", "normal", "none", false},
    {"flags2", "wpred", "weightb", "1", "0", false},
    {"flags2", "mixed_refs", "mixed-refs", "1", "0", false},
    {"flags2", "dct8x8", "8x8dct", "1", "0", false},
    {"flags2", "fastpskip", "fast-pskip", "1", "0", false},
    {"flags2", "aud", "aud", "1", "0", false},
    {"flags2", "mbtree", "mbtree", "1", "0", false},
    {"flags2", "psy", "psy", "1", "0", false},
    {"flags2", "ssim", "ssim", "1", "0", false},
    {"flags2", "intra_refresh", "intra-refresh", "1", "0", false},
    {"partitions", "parti4x4", "partitions", "i4x4", nullptr, false},
    {"partitions", "parti8x8", "partitions", "i8x8", nullptr, false},
    {"partitions", "partp4x4", "partitions", "p4x4", nullptr, false},
    {"partitions", "partp8x8", "partitions", "p8x8", nullptr, false},
    {"partitions", "partb8x8", "partitions", "b8x8", nullptr, false},
};

const TLegacyRule* FindRule(const std::string& option, const std::string& flag) {
  for (const TLegacyRule& r : kLegacyRules)
    if (option == r.Option && (r.Flag ? flag == r.Flag : flag.empty())) return &r;
  return nullptr;
}

bool IsFlagOption(const std::string& option) {
  for (const TLegacyRule& r : kLegacyRules)
    if (option == r.Option && r.Flag) return true;
  return false;
}

struct TFlagToken {
  char Sign;  // '+', '-' or 0 (no sign: the value replaces the whole set)
  std::string Name;
};

// "+a-b+c" or "a+b": the tokens of a flag value.
std::vector<TFlagToken> SplitFlags(const std::string& value) {
  std::vector<TFlagToken> out;
  size_t i = 0;
  while (i < value.size()) {
    TFlagToken t{0, {}};
    if (value[i] == '+' || value[i] == '-') t.Sign = value[i++];
    size_t e = value.find_first_of("+-", i);
    if (e == std::string::npos) e = value.size();
    t.Name = value.substr(i, e - i);
    out.push_back(t);
    i = e;
  }
  return out;
}

// The ':'-separated key=value list of "x264-params", with entries replaced or appended.
void MergeParams(std::vector<TOptionPair>& params, const std::string& key, const std::string& value) {
  for (TOptionPair& p : params)
    if (p.Name == key) {
      p.Value = value;
      return;
    }
  params.push_back({key, value});
}

std::vector<TOptionPair> SplitParams(const std::string& text) {
  std::vector<TOptionPair> out;
  size_t i = 0;
  while (i < text.size()) {
    size_t e = text.find(':', i);
    if (e == std::string::npos) e = text.size();
    std::string item = text.substr(i, e - i);
    if (!item.empty()) {
      size_t eq = item.find('=');
      out.push_back({item.substr(0, eq), eq == std::string::npos ? std::string() : item.substr(eq + 1)});
    }
    i = e + 1;
  }
  return out;
}

std::string JoinParams(const std::vector<TOptionPair>& params) {
  std::string s;
  for (const TOptionPair& p : params) {
    if (!s.empty()) s += ':';
    s += p.Value.empty() ? p.Name : p.Name + "=" + p.Value;
  }
  return s;
}

}  // namespace

const TBuiltinPreset* BuiltinPresets() { return kBuiltinPresets; }

const TBuiltinPreset* FindBuiltinPreset(const std::string& name) {
  for (const TBuiltinPreset& p : kBuiltinPresets)
    if (strcasecmp(p.Name, name.c_str()) == 0) return &p;
  return nullptr;
}

bool TranslateLegacyOption(const TOptionHolder& holder, const std::string& name, const std::string& value,
                           std::vector<TOptionPair>& out) {
  out.clear();
  if (const TLegacyRule* rename = FindRule(name, "")) {
    out.push_back({rename->Target, value});
    return true;
  }
  if (!IsFlagOption(name)) return false;

  std::vector<TFlagToken> tokens = SplitFlags(value);
  bool legacy = false;
  for (const TFlagToken& t : tokens) legacy = legacy || FindRule(name, t.Name);
  if (!legacy) return false;

  // A first token without a sign replaces the whole set: every legacy flag of the option that
  // is not named is off.
  const bool absolute = !tokens.empty() && tokens.front().Sign == 0;
  std::vector<TOptionPair> privateSettings;  // in order, one per target
  std::vector<TOptionPair> params;
  if (const std::string* current = EncoderPrivateOption(holder, "x264-params")) params = SplitParams(*current);
  const size_t paramsBefore = params.size();
  bool paramsChanged = false;
  bool partitionsUsed = false;
  std::vector<std::string> partitionSet;  // the modern partition names that are on
  if (name == "partitions" && !absolute)
    if (const std::string* current = EncoderPrivateOption(holder, "partitions")) {
      // The modern comma list this relative change starts from.
      size_t i = 0;
      while (i <= current->size()) {
        size_t e = current->find(',', i);
        if (e == std::string::npos) e = current->size();
        std::string item = current->substr(i, e - i);
        if (!item.empty() && item != "none") partitionSet.push_back(item);
        i = e + 1;
      }
    }

  auto setTarget = [&](const TLegacyRule& r, bool on) {
    if (std::strcmp(r.Target, "partitions") == 0) {
      partitionsUsed = true;
      std::erase(partitionSet, std::string(r.On));
      if (on) partitionSet.push_back(r.On);
      return;
    }
    const char* v = on ? r.On : r.Off;
    if (std::strncmp(r.Target, kParams, std::strlen(kParams)) == 0) {
      MergeParams(params, r.Target + std::strlen(kParams), v);
      paramsChanged = true;
    } else {
      MergeParams(privateSettings, r.Target, v);
    }
  };

  if (absolute)
    for (const TLegacyRule& r : kLegacyRules)
      if (name == r.Option && r.Flag && !r.Keep) setTarget(r, false);

  std::string passOn;  // the flags the generic option still understands
  for (const TFlagToken& t : tokens) {
    const TLegacyRule* r = FindRule(name, t.Name);
    if (r) setTarget(*r, t.Sign != '-');
    if (!r || r->Keep) passOn += (t.Sign ? std::string(1, t.Sign) : std::string()) + t.Name;
  }

  if (!passOn.empty()) out.push_back({name, passOn});
  out.insert(out.end(), privateSettings.begin(), privateSettings.end());
  if (partitionsUsed) {
    std::string partitions;
    for (const std::string& p : partitionSet) partitions += (partitions.empty() ? "" : ",") + p;
    out.push_back({"partitions", partitions.empty() ? "none" : partitions});
  }
  if (paramsChanged || params.size() != paramsBefore) out.push_back({"x264-params", JoinParams(params)});
  return true;
}
