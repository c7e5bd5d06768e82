"""Compress a recorded WAV signal with every wavelet and both entropy coders.

For each combination the table shows the size of the float32 input, the size
of the quarnel stream, the compression ratio, the PSNR of the reconstruction
(10·log10(range² / mean squared error), the range being max − min of the
original) and its largest error relative to that range. A PNG shows the
original, the reconstruction and the error for one of the combinations.

    python examples/compress_wav.py [WAV] [--scale 11] [--cutoff low] [--plot out/compress_wav.png]
"""

import argparse
import math
import wave
from pathlib import Path

import numpy as np

import quarnel

DEFAULT_WAV = "/usr/share/sounds/alsa/Front_Center.wav"
METHODS = ["cdf53", "cdf97", "db4", "sym4"]
CODERS = ["deflate", "arans"]


def read_wav(path):
    """The first channel of a PCM WAV file as float32 in [-1, 1), and its rate."""
    with wave.open(str(path), "rb") as wav:
        channels, width, rate = wav.getnchannels(), wav.getsampwidth(), wav.getframerate()
        frames = wav.readframes(wav.getnframes())
    raw = np.frombuffer(frames, np.uint8).reshape(-1, channels, width)[:, 0, :]
    if width == 1:  # unsigned 8-bit
        return (raw[:, 0].astype(np.float32) - 128.0) / np.float32(128.0), rate, width
    # Signed little-endian, 16, 24 or 32 bits: the bytes become the top of a
    # 32-bit integer.
    padded = np.zeros((raw.shape[0], 4), np.uint8)
    padded[:, 4 - width :] = raw
    samples = padded.view("<i4")[:, 0].astype(np.float64) / 2.0**31
    return samples.astype(np.float32), rate, width


def measure(original, restored):
    error = restored.astype(np.float64) - original
    span = float(original.max() - original.min())
    mse = float(np.mean(error**2))
    psnr = math.inf if mse == 0 else 10.0 * math.log10(span**2 / mse)
    return psnr, float(np.max(np.abs(error))) / span, error


def plot(path, original, restored, error, rate, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    t = np.arange(len(original)) / rate
    fig, axes = plt.subplots(4, 1, figsize=(11, 10), constrained_layout=True)
    axes[0].plot(t, original, lw=0.4, color="tab:blue")
    axes[0].set_title("original")
    axes[1].plot(t, restored, lw=0.4, color="tab:orange")
    axes[1].set_title("reconstruction")
    axes[2].plot(t, error, lw=0.4, color="tab:red")
    axes[2].set_title("error (reconstruction − original)")
    # 20 ms around the loudest sample, both signals on top of each other.
    centre = int(np.argmax(np.abs(original)))
    half = int(0.01 * rate)
    window = slice(max(centre - half, 0), min(centre + half, len(original)))
    axes[3].plot(t[window] * 1e3, original[window], lw=1.2, label="original")
    axes[3].plot(t[window] * 1e3, restored[window], lw=1.0, ls="--", label="reconstruction")
    axes[3].set_title("20 ms around the loudest sample")
    axes[3].set_xlabel("time (ms)")
    axes[3].legend(loc="upper right")
    for ax in axes[:3]:
        ax.set_xlabel("time (s)")
    fig.suptitle(title)
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wav", nargs="?", default=DEFAULT_WAV, help=f"PCM WAV file (default {DEFAULT_WAV})")
    parser.add_argument("--scale", type=int, default=11, help="quantisation scale 6..12 (default 11)")
    parser.add_argument("--cutoff", default="low", choices=["low", "medium", "high"])
    parser.add_argument("--plot", type=Path, default=Path("out/compress_wav.png"), help="PNG to write")
    parser.add_argument("--plot-method", default="cdf97", choices=METHODS)
    args = parser.parse_args()

    signal, rate, width = read_wav(args.wav)
    print(
        f"{args.wav}: {len(signal)} samples at {rate} Hz ({len(signal) / rate:.2f} s), "
        f"{8 * width}-bit PCM; scale {args.scale}, cutoff {args.cutoff}"
    )
    header = (
        f"{'method':<7} {'coder':<8} {'input B':>9} {'stream B':>9} {'ratio':>7} {'PSNR dB':>8}"
        f" {'max err/range':>14}"
    )
    print(header)
    print("-" * len(header))
    shown = None
    for method in METHODS:
        for coder in CODERS:
            options = quarnel.QrnlCompressionOptions(method=method, scale=args.scale, cutoff=args.cutoff, coder=coder)
            try:
                stream = quarnel.compress_signal(signal, options)
            except ValueError as refused:
                print(f"{method:<7} {coder:<8} {signal.nbytes:>9} refused: {refused}")
                continue
            restored = quarnel.decompress_signal(stream)
            psnr, max_error, error = measure(signal, restored)
            print(
                f"{method:<7} {coder:<8} {signal.nbytes:>9} {len(stream):>9} {signal.nbytes / len(stream):>7.2f} "
                f"{psnr:>8.2f} {max_error:>14.2e}"
            )
            if method == args.plot_method and coder == "arans":
                shown = (restored, error, len(stream), psnr)

    if shown is None:
        print("plot: nothing to show, the compressor refused this signal")
        return
    restored, error, size, psnr = shown
    title = (
        f"{Path(args.wav).name}: {args.plot_method}, rANS, scale {args.scale}, cutoff {args.cutoff} — "
        f"{signal.nbytes} → {size} bytes, PSNR {psnr:.1f} dB"
    )
    plot(args.plot, signal, restored, error, rate, title)
    print(f"plot: {args.plot}")


if __name__ == "__main__":
    main()
