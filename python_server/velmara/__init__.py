"""Velmara: the com_like bridge, the kernel's host kit and the simulated add-in."""

import com_like as com_like
