#include "lv2/host_renderer.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
constexpr int kConverter = SRC_SINC_FASTEST;
constexpr float kSampleScale = 1.0f / 32768.0f;
}  // namespace

HostRenderer::HostRenderer(Engine& engine, NoteKeys& keys, double hostRate)
    : engine_(engine), keys_(keys), ratio_(hostRate / kEngineRate) {
    if (hostRate == kEngineRate) {
        ready_ = true;
        return;
    }
    if (!(hostRate > 0.0) || !src_is_valid_ratio(ratio_)) return;
    int error = 0;
    converter_ = src_new(kConverter, 1, &error);
    if (converter_ == nullptr) return;
    measureConverter();
    ready_ = true;
}

HostRenderer::~HostRenderer() {
    if (converter_ != nullptr) src_delete(converter_);
}

// Feeds a fresh converter a step (0 then 1) the way render() feeds it, a host
// frame per call and a whole chunk per call: how far its reading runs ahead of
// its output (engine frames), and where the step comes out (host frames).
void HostRenderer::measureConverter() {
    const int64_t stepAt = 4 * kPieceFrames;  // engine frame of the step
    const int64_t hostLength = static_cast<int64_t>(2048 * std::max(1.0, ratio_));
    int64_t ahead = 0;
    int64_t delay = 0;
    for (const long request : {1L, long(kOutChunkFrames)}) {
        src_reset(converter_);
        int64_t engine = 0, host = 0;
        float in[kConverterPieceFrames];
        float out[kOutChunkFrames];
        long inFrames = 0, inUsed = 0;
        int64_t heard = -1;
        while (host < hostLength) {
            if (inUsed == inFrames) {
                for (int i = 0; i < kConverterPieceFrames; ++i) in[i] = engine + i >= stepAt ? 1.0f : 0.0f;
                engine += kConverterPieceFrames;
                inFrames = kConverterPieceFrames;
                inUsed = 0;
            }
            SRC_DATA d{};
            d.data_in = in + inUsed;
            d.input_frames = inFrames - inUsed;
            d.data_out = out;
            d.output_frames = request;
            d.src_ratio = ratio_;
            if (src_process(converter_, &d) != 0) break;
            for (long i = 0; i < d.output_frames_gen && heard < 0; ++i) {
                if (out[i] >= 0.5f) heard = host + i;
            }
            inUsed += d.input_frames_used;
            host += d.output_frames_gen;
            ahead = std::max<int64_t>(ahead, engine - static_cast<int64_t>(std::floor(host / ratio_)));
        }
        if (heard >= 0) delay = std::max<int64_t>(delay, heard - static_cast<int64_t>(stepAt * ratio_));
    }
    src_reset(converter_);
    lead_ = ahead + 1;
    latency_ = static_cast<uint32_t>(std::lround(lead_ * ratio_) + delay);
}

void HostRenderer::restart() {
    eventHead_ = eventTail_;
    fifoFrames_ = fifoUsed_ = 0;
    if (converter_ != nullptr) src_reset(converter_);
}

void HostRenderer::queue(uint32_t offset, const uint8_t* message, uint32_t size) {
    if (size == 0 || size > sizeof(Event::data)) return;
    if (eventTail_ - eventHead_ >= kMaxEvents) return;
    Event& e = events_[eventTail_ % kMaxEvents];
    e.at = converter_ != nullptr
               ? static_cast<uint64_t>(static_cast<double>(hostFrames_ + offset) / ratio_) + uint64_t(lead_)
               : hostFrames_ + offset;
    e.size = static_cast<int>(size);
    std::memcpy(e.data, message, size);
    ++eventTail_;
}

// Applies the messages due by the next engine frame, then renders up to max
// engine frames into piece_, stopping at the next message.
int HostRenderer::renderPiece(int max) {
    while (eventHead_ != eventTail_) {
        const Event& e = events_[eventHead_ % kMaxEvents];
        if (e.at > engineFrames_) break;
        keys_.handle(e.data, e.size);
        ++eventHead_;
    }
    int n = max;
    if (eventHead_ != eventTail_) {
        const uint64_t until = events_[eventHead_ % kMaxEvents].at - engineFrames_;
        if (until < uint64_t(n)) n = static_cast<int>(until);
    }
    engine_.render(piece_, n);
    engineFrames_ += uint64_t(n);
    return n;
}

void HostRenderer::render(float* out, uint32_t frames) {
    if (converter_ != nullptr) {
        renderResampled(out, frames);
    } else {
        for (uint32_t done = 0; done < frames;) {
            const int n = renderPiece(static_cast<int>(std::min<uint32_t>(frames - done, kPieceFrames)));
            for (int i = 0; i < n; ++i) out[done + i] = piece_[i] * kSampleScale;
            done += uint32_t(n);
        }
    }
    hostFrames_ += frames;
}

void HostRenderer::renderResampled(float* out, uint32_t frames) {
    for (uint32_t done = 0; done < frames;) {
        if (fifoUsed_ == fifoFrames_) {
            const int n = renderPiece(kConverterPieceFrames);
            for (int i = 0; i < n; ++i) fifo_[i] = piece_[i] * kSampleScale;
            fifoFrames_ = n;
            fifoUsed_ = 0;
        }
        SRC_DATA d{};
        d.data_in = fifo_ + fifoUsed_;
        d.input_frames = fifoFrames_ - fifoUsed_;
        d.data_out = out + done;
        d.output_frames = static_cast<long>(std::min<uint32_t>(frames - done, kOutChunkFrames));
        d.src_ratio = ratio_;
        if (src_process(converter_, &d) != 0 ||
            (d.input_frames_used == 0 && d.output_frames_gen == 0 && d.input_frames > 0)) {
            std::fill(out + done, out + frames, 0.0f);  // a converter fault: silence
            return;
        }
        fifoUsed_ += d.input_frames_used;
        done += uint32_t(d.output_frames_gen);
    }
}
