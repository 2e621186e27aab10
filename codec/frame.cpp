// Frame and scan geometry, the part of setting up a frame that reading and writing share.
#include "codec/frame.h"

#include "codec/codec_errors.h"

namespace kv::codec {

// The colour transform a frame of this many components takes from the one given: none given
// means YCbCr for three components; YCbCr means YCCK for four and nothing for one or two; YCCK
// needs four components.
int32_t FrameTransform(CodecContext* context, int32_t transform, int encoder) {
    const int count = context->componentCount;
    if (transform == kTransformUnset) transform = count == 3 ? 1 : 0;
    if (transform == 1) {
        if (count == 4) transform = 2;
        else if (count < 3) transform = 0;
    }
    if (transform < 0 || transform > 2 || (transform == 2 && count != 4)) {
        CodecRaise(context, encoder ? categoryBadParameter : categoryBadData, messageBadColourTransform, transform);
    }
    return transform;
}

void SetupFrame(CodecContext* context, int encoder) {
    const int count = context->componentCount;
    const int badSampling = encoder ? categoryBadParameter : categoryBadData;
    int hMax = 0;
    int vMax = 0;
    int sum = 0;
    for (int i = 0; i < count; ++i) {
        const ComponentInfo& component = context->components[i];
        if (component.h < 1 || component.h > 4 || component.v < 1 || component.v > 4) {
            CodecRaise(context, badSampling, messageBadSampling);
        }
        if (component.h > hMax) hMax = component.h;
        if (component.v > vMax) vMax = component.v;
        sum += component.h * component.v;
    }
    if (sum > 10 && !context->relaxedSampling) {
        CodecRaise(context, encoder ? categoryBadParameter : categoryConflict, messageSamplingSumOverTen);
    }
    context->hMax = hMax;
    context->vMax = vMax;
    const int32_t blocksAcross = (context->width + hMax - 1) / hMax;
    context->paddedRowLength = blocksAcross * count * hMax;
    context->componentsTimesHmax = count * hMax;
    context->bytesPerRow = context->width * count;

    const int32_t transform = FrameTransform(context, context->colourTransform, encoder);
    context->colourTransform = transform;

    const ComponentInfo* c = context->components;
    int path = 0;
    if (count >= 3 && c[1].h == 1 && c[2].h == 1) {
        if (c[0].h == 1 && transform != 0) {
            // Four components take one K sample per pixel here; a wider K is left to the generic
            // path, which upsamples every component.
            if (count == 3) path = 2;
            else if (c[3].h == 1) path = 4;
        } else if (c[0].h == 2) {
            if (count == 3) path = transform != 0 ? 3 : 1;
            else if (c[3].h == 2 && transform != 0) path = 5;
        }
    }
    context->colourPath = path;

    for (int i = 0; i < count; ++i) {
        ComponentInfo& component = context->components[i];
        component.fullSize = component.h == hMax && component.v == vMax;
    }
    context->fourLine = vMax >= 4 && c[0].fullSize && count >= 2 && c[1].v == 1 &&
                        (count == 2 || (c[2].v == 1 && (count == 3 || (transform != 0 && c[3].fullSize))));

    context->preciseColour = context->preciseColour && transform != 0 && path != 0;
    for (int i = 0; i < count; ++i) context->components[i].wideSamples = context->preciseColour && i < 3;

    if (count == 1) {
        ComponentInfo& component = context->components[0];
        component.rowWidth = (context->width * component.h + 8 * hMax - 1) / (8 * hMax) * 8;
        if (context->progressive) {
            component.planeWidth = component.rowWidth;
            component.planeHeight = (context->height * component.v + 8 * vMax - 1) / (8 * vMax) * 8;
        }
        return;
    }
    const int32_t mcusAcross = (context->width + 8 * hMax - 1) / (8 * hMax);
    const int32_t mcusDown = (context->height + 8 * vMax - 1) / (8 * vMax);
    for (int i = 0; i < count; ++i) {
        ComponentInfo& component = context->components[i];
        component.rowWidth = mcusAcross * component.h * 8 * (component.wideSamples ? 2 : 1);
        if (context->progressive) {
            component.planeWidth = mcusAcross * component.h * 8;
            component.planeHeight = mcusDown * component.v * 8;
        }
    }
}

void SetupScan(CodecContext* context) {
    if (context->scanComponentCount == 1) {
        const ComponentInfo* component = context->scan[0].component;
        context->mcusPerRow = (context->width * component->h + 8 * context->hMax - 1) / (8 * context->hMax);
        context->mcuRows = (context->height * component->v + 8 * context->vMax - 1) / (8 * context->vMax);
    } else {
        context->mcusPerRow = (context->width + 8 * context->hMax - 1) / (8 * context->hMax);
        context->mcuRows = (context->height + 8 * context->vMax - 1) / (8 * context->vMax);
    }
    for (int i = 0; i < context->scanComponentCount; ++i) {
        ScanComponent& scan = context->scan[i];
        scan.dc = &context->dcTables[scan.dcTable];
        scan.ac = &context->acTables[scan.acTable];
    }
}

}  // namespace kv::codec
