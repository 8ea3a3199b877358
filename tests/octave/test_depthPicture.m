function test_depthPicture()
  % depthPicture: each pixel the mean depth of its localisations through the colour map, as
  % bright as dotMosaic's equalised level, binned as dotMosaic bins; and its input checks.
  X = [0.5; 0.7; 3.2; 9.9; -4; 2.5];
  Y = [1.5; 1.2; 0.1; 4.5; 2.2; 4.9];
  z = [-200; 100; 400; -400; 0; 50];
  [picture, bar] = depthPicture(10, 5, X, Y, z, [-400 400]);
  assert(size(picture), [5 10 3]);
  [~, levels] = dotMosaic(10, 5, single(X), single(Y), 1);
  % Pixel (0, 1) holds two at a mean of -50 nm: 7/16 of the map, between cyan and green.
  t = (-50 + 400) / 800;
  assert(squeeze(picture(2, 1, :))', [0 1 1 - (t - 0.25) * 4] * levels(1, 2) / 1023, 1e-12);
  % (3, 0) at the top of the range is red; X = -4 counts in column 0 (green, at 0 nm); X = 9.9
  % at the bottom is blue.
  assert(squeeze(picture(1, 4, :))', [1 0 0] * levels(4, 1) / 1023, 1e-12);
  assert(squeeze(picture(3, 1, :))', [0 1 0] * levels(1, 3) / 1023, 1e-12);
  assert(squeeze(picture(5, 10, :))', [0 0 1] * levels(10, 5) / 1023, 1e-12);
  assert(nnz(any(picture > 0, 3)), 5);
  assert(size(bar, 2) == 10 && size(bar, 3) == 3);
  bad = {{0, 5, X, Y, z}, {10, 5, X, Y(1:5), z}, {10, 5, X, Y, [z(1:5); NaN]}, ...
         {10, 5, X, Y, z, [400 -400]}, {10, 5, X, Y, {1}}};
  for k = 1:numel(bad)
    assertError(@() depthPicture(bad{k}{:}), 'depthPicture:BadInput');
  end
  disp('test_depthPicture: all passed');
end
