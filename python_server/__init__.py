"""The Velmara Python server: the Excel bridge and its host kit."""

from . import velmara as velmara
