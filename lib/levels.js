'use strict';

// Peak and RMS per channel of interleaved float frames, in dBFS (full scale
// is a sample of magnitude 1). The meter's peaks restart each time they are
// read; the totals cover everything added.
class LevelMeter {
  constructor(channels) {
    this.channels = channels;
    this.frames = 0;
    this.recentPeak = new Array(channels).fill(0);
    this.peak = new Array(channels).fill(0);
    this.sumOfSquares = new Array(channels).fill(0);
  }

  add(samples) {
    const { channels } = this;
    for (let i = 0; i < samples.length; i++) {
      const channel = i % channels;
      const magnitude = Math.abs(samples[i]);
      if (magnitude > this.recentPeak[channel]) this.recentPeak[channel] = magnitude;
      this.sumOfSquares[channel] += samples[i] * samples[i];
    }
    this.frames += samples.length / channels;
    this.recentPeak.forEach((value, channel) => {
      if (value > this.peak[channel]) this.peak[channel] = value;
    });
  }

  takeRecentPeaks() {
    const peaks = this.recentPeak;
    this.recentPeak = new Array(this.channels).fill(0);
    return peaks.map(dbfs);
  }

  totals() {
    return this.peak.map((peak, channel) => ({
      peak: dbfs(peak),
      rms: dbfs(this.frames > 0 ? Math.sqrt(this.sumOfSquares[channel] / this.frames) : 0),
    }));
  }
}

function dbfs(magnitude) {
  return 20 * Math.log10(magnitude);
}

function formatDb(db) {
  return Number.isFinite(db) ? `${db.toFixed(1)} dBFS` : '-inf dBFS';
}

module.exports = { LevelMeter, dbfs, formatDb };
