import capture from './index.js';

export * from './index.js';
export default capture;
