"""Progress of a job over many captures: inputs done out of the total.

Silent unless asked.  `progress` as the jobs take it:

- None or False: nothing is shown (the default: scripts and logs stay clean);
- True: a bar on standard error (tqdm's when it is installed, else one line rewritten in place);
- "auto": the same, only when standard error is a terminal;
- a callable: called as progress(done, total) whenever the count changes, for a display of one's own.
"""
import sys

__all__ = ["Progress"]


class Progress:
    """Counts inputs done out of `total` and shows the count as `progress` asks (see the module's help)."""

    def __init__(self, progress, total, initial=0, description="vexlor"):
        self.total, self.done = total, min(initial, total)
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
                self._bar = tqdm(total=total, initial=self.done, desc=description, unit="input", file=sys.stderr)
        self._description = description
        self._show()

    @property
    def shown(self):
        return self._call is not None or self._bar is not None or self._line

    def update(self, done):
        """Sets the count of inputs done (it never goes back, nor past the total)."""
        done = max(self.done, min(done, self.total))
        if done == self.done:
            return
        if self._bar is not None:
            self._bar.update(done - self.done)
        self.done = done
        self._show()

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
            sys.stderr.write("\r%s: %d/%d inputs" % (self._description, self.done, self.total))
            sys.stderr.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
