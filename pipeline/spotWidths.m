function [sx, sy] = spotWidths(psf, z)
%SPOTWIDTHS  The spots' widths at depths, by a depth calibration's curves.
%   [sx, sy] = spotWidths(psf, z)
%
%   The standard deviations in pixels along x and y of spots at depths z (nm,
%   any size; sx and sy have z's size), by the defocus curves of psf, a depth
%   calibration as calibrateAstigmatism returns it:
%     sx = sigma0(1) sqrt(1 + u^2 + A(1) u^3 + B(1) u^4),  u = (z - c(1)) / d(1)
%   and sy the same with the second values. The curves are evaluated
%   wherever z lies, also outside psf.zRange.
%
%   Example: a calibration's widths from 600 nm below to 600 nm above
%     z = -600:10:600;
%     [sx, sy] = spotWidths(psf, z);
%     plot(z, sx, z, sy)
%
%   See also CALIBRATEASTIGMATISM, SPOTFIT, WRITELOCALISATIONS.
z = double(z);
sx = widthOfAxis(psf, 1, z);
sy = widthOfAxis(psf, 2, z);
end

function s = widthOfAxis(psf, axis, z)
u = (z - double(psf.c(axis))) / double(psf.d(axis));
s = double(psf.sigma0(axis)) * ...
    sqrt(1 + u .^ 2 + double(psf.A(axis)) * u .^ 3 + double(psf.B(axis)) * u .^ 4);
end
