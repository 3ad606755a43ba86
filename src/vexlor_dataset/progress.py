"""Progress of a job over many captures: inputs and bytes done out of the totals, packets, rate and time left.

Silent unless asked.  `progress` as the jobs take it:

- None or False: nothing is shown (the default: scripts and logs stay clean);
- True: a bar on standard error (tqdm's when it is installed, else one line rewritten in place);
- "auto": the same, only when standard error is a terminal;
- a callable: called as progress(done, total) whenever the count changes, for a display of one's own.
"""
import sys
import time

__all__ = ["Progress"]


class Progress:
    """Counts inputs done out of `total` and shows the count as `progress` asks (see the module's help).  With
    `sizes` (each input's size in bytes, in the order of the counts) the bar counts bytes, so that it can tell the
    rate and the time left, and names the inputs and packets done beside them."""

    def __init__(self, progress, total, initial=0, description="vexlor", sizes=None):
        self.total, self.done = total, min(initial, total)
        self.sizes = list(sizes) if sizes is not None else None
        self.bytes, self.packets, self._start = self._bytes(self.done), 0, time.monotonic()
        self._call, self._bar, self._line = None, None, False
        if progress == "auto":
            progress = bool(getattr(sys.stderr, "isatty", lambda: False)())
        if callable(progress):
            self._call = progress
        elif progress:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                self._line = True
            else:
                if self.sizes is None:
                    self._bar = tqdm(total=total, initial=self.done, desc=description, unit="input", file=sys.stderr)
                else:
                    self._bar = tqdm(total=self._bytes(total), initial=self.bytes, desc=description, unit="B",
                                     unit_scale=True, unit_divisor=1000, file=sys.stderr)
        self._description = description
        self._show()

    @property
    def total_bytes(self):
        return self._bytes(self.total)

    @property
    def shown(self):
        return self._call is not None or self._bar is not None or self._line

    def update(self, done, packets=None, size=None):
        """Sets the count of inputs done (it never goes back, nor past the total) and of their packets; `size`: the
        bytes of the inputs done, when those are not the first `done` of `sizes`."""
        done = max(self.done, min(done, self.total))
        size = self._bytes(done) if size is None or self.sizes is None else max(self.bytes, size)
        if done == self.done and size == self.bytes and (packets is None or packets == self.packets):
            return
        self.packets = self.packets if packets is None else packets
        if self._bar is not None:
            if self.sizes is None:
                self._bar.update(done - self.done)
            else:
                self._bar.set_postfix_str("%d/%d inputs, %s packets" % (done, self.total, format(self.packets, ",")),
                                          refresh=False)
                self._bar.update(size - self.bytes)
        self.done, self.bytes = done, size
        self._show()

    def _bytes(self, done):
        # The inputs are taken as done in their order; a count is all the bar needs.
        return sum(self.sizes[:done]) if self.sizes is not None else 0

    def close(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None
        elif self._line:
            sys.stderr.write("\n")
            sys.stderr.flush()
            self._line = False

    def _show(self):
        if self._call is not None:
            self._call(self.done, self.total)
        elif self._line:
            text = "\r%s: %d/%d inputs" % (self._description, self.done, self.total)
            if self.sizes is not None:
                total, took = self._bytes(self.total), time.monotonic() - self._start
                rate = self.bytes / took if took > 0 else 0
                text += ", %.1f/%.1f MB, %s packets" % (self.bytes / 1e6, total / 1e6, format(self.packets, ","))
                if rate > 0 and self.done < self.total:
                    text += ", %.0f MB/s, %d s left" % (rate / 1e6, (total - self.bytes) / rate)
            sys.stderr.write(text + "\x1b[K")
            sys.stderr.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
